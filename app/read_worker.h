// The main dialog's scan and version check on the workflow core: loading the embedded image, the
// read-back worker, and (as operations of the dialog, defined in read_worker.cpp) ScanForReader
// and ShowVersionResult.
#pragma once

#include "app/main_dialog.h"

namespace tr350 {

// Passes a workflow's progress to the window's bar (the read-back's and the update's).
class ProgressBar final : public workflow::Observer {
 public:
  explicit ProgressBar(ui::ProgressCtrl& bar) : bar_(bar) {}
  void Progress(int position) override { bar_.SetPos(position); }

 private:
  ui::ProgressCtrl& bar_;
};

// Window's thread. Loads resource 131 of type 132 into m_fileImage and derives its versions.
// False, after the box "Load SNF failed!", when the resource is missing or does not parse; the
// image then keeps what it held.
bool LoadFirmwareImage(CRZ6104FwUpdateToolDlg& dialog);

// The read-back worker: reads header, FW1 and FW2 from the first reader, derives the reader's
// versions and arms IDT_SHOW_VERSION; shows its own boxes on failure. Clears m_busy when done.
void ReadReaderThread(CRZ6104FwUpdateToolDlg* dialog);

}  // namespace tr350
