#pragma once
// The built-in firmware image ":/hex/TremlinFix_1_0_37.hex" lives in the static core library,
// whose resource data the linker keeps only when something refers to it: call this before the
// first use of the resource. Calling it again does nothing.

void pelmoraInitFirmwareResources();
