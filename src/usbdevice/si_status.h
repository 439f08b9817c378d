#pragma once
// Status codes of the bridge library, as the vendor's USBXpress library numbers them.
// 0 is success; every backend of the bridge layer reports its failures with these codes.

enum SiStatus : int {
    SI_SUCCESS = 0x00,
    SI_INVALID_HANDLE = 0x01,
    SI_READ_ERROR = 0x02,
    SI_WRITE_ERROR = 0x04,
    SI_INVALID_PARAMETER = 0x06,
    SI_INVALID_REQUEST_LENGTH = 0x07,
    SI_DEVICE_IO_FAILED = 0x08,
    SI_INVALID_BAUDRATE = 0x09,
    SI_FUNCTION_NOT_SUPPORTED = 0x0A,
    SI_GLOBAL_DATA_ERROR = 0x0B,
    SI_SYSTEM_ERROR_CODE = 0x0C,
    SI_READ_TIMED_OUT = 0x0D,
    SI_WRITE_TIMED_OUT = 0x0E,
    SI_IO_PENDING = 0x0F,
    SI_DEVICE_NOT_FOUND = 0xFF,
};

// The name written into error lines ("SI_INVALID_HANDLE", ...); nullptr for an unnamed code.
const char *siStatusName(int status);
