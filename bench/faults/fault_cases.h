#pragma once
// The cases of the fault matrix: every fault of the simulated board, of the bridge's calls and
// of a user's hands on the host, against every phase of the update it can strike, in instant
// and in real-time timing, with the read-back after the write and without it.

#include "sim_board.h"

#include <QString>
#include <QStringList>
#include <QVector>

// What the console's red lines name as the cause of a failed update (bit set).
enum Cause : unsigned {
    NoSync = 1u << 0,      // "EnterBootloader Time Error"
    WrongChip = 1u << 1,   // "STM32 ID: 0x.... not supported"
    Mismatch = 1u << 2,    // "Verify Error at 0x..."
    Disconnect = 1u << 3,  // "disconnect µC during write firmware!!"
    ResetCause = 1u << 4,  // "reset µC during write firmware!!"
    StrayByte = 1u << 5,   // "unexpected Byte 0x.. in ..."
    NackCause = 1u << 6,   // a line that names a NACK
    Timeout = 1u << 7,     // "Time Error ..." of a wait after the sync
    FileCause = 1u << 8,   // the HEX file or the image
    OtherCause = 1u << 9,  // a red line of no known kind
    Unnamed = 1u << 10,    // failed with no red line but the failure ending's
};

// A user's action on the host while the update runs, at a chosen moment. A new kind of
// interference (a programming client withdrawing its request, say) is one more entry here and
// one more row in hostActionTable() (fault_run.cpp).
enum class HostAction { None, Reset, Disconnect, SecondStart, ModeSwitch, Count };

struct FaultCase {
    QString group;              // the table's row
    QString faults;             // PELMORA_SIM_FAULTS syntax
    int lineControlStatus = 0;  // non-zero: the bridge refuses every boot-mode line control so
    bool smallImage = false;    // 1000 bytes (4 blocks) instead of the built-in image
    bool realtime = false;      // the board in real time, the device's own worker thread
    bool verify = true;         // the read-back after the write (PELMORA_VERIFY)
    HostAction action = HostAction::None;
    // The action comes once the board has seen this many frames of the kind (0: at the start).
    pelsim::FrameKind actionKind = pelsim::FrameKind::Sync;
    int actionFrame = 0;
    // Causes a failure may name; a failure naming anything else is counted as a wrong cause.
    unsigned causes = 0;
    bool mustSucceed = false;   // the fault leaves the update nothing to fail on
    bool quick = false;         // also in the quick subset that CTest runs

    int starts() const { return action == HostAction::SecondStart ? 2 : 1; }
    QString describe() const;
};

QVector<FaultCase> faultCases();
QString causeNames(unsigned causes);
