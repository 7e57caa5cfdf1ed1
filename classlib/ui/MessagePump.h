// Lets Qt's event loop run the calling thread's message queue (platform/Messages.h): posted
// messages, window timers and descriptor watches then keep running inside QDialog::exec() too.
#pragma once

namespace cls {

// Installs the pump on the calling thread, which must run a Qt event loop (normally the GUI
// thread after the QApplication exists). Installing again does nothing. The pump goes with the
// QCoreApplication when it is created on the application's thread.
void InstallMessagePump();
bool MessagePumpInstalled();

} // namespace cls
