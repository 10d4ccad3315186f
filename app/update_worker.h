// The main dialog's firmware update worker on the workflow core.
#pragma once

#include "app/main_dialog.h"

namespace tr350 {

// The worker the Update button starts (one at a time: m_busy is 1 throughout). Writes the embedded
// firmware under the reader's own header, reads it back, verifies it and restarts the reader;
// reports "Update OK" or "NG". Clears m_busy and m_updateRunning when done.
void UpdateFirmwareThread(CRZ6104FwUpdateToolDlg* dialog);

}  // namespace tr350
