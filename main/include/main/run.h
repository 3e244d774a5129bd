// The whole run of the utility: banner, library, board discovery, the four tests in their fixed
// order, and the closes. Always returns 0, the process's exit status on every path.
#pragma once

int DIAG_Run(void);
