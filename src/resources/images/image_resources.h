#pragma once
// The form's images under ":/img/" live in the static core library, whose resource data the
// linker keeps only when something refers to it: call this before the form is built. Calling it
// again does nothing.

void pelmoraInitImageResources();
