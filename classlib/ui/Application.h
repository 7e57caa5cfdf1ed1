// The application object: title, the windows in creation order (the first is the main window),
// the message loop, and the exception display that shows an escaped exception and goes on.
#pragma once
#include <QPointer>
#include <QWidget>
#include <concepts>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cls {

class TApplication {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Prepares the calling (GUI) thread once the QApplication exists: installs the message pump
    // and sends exceptions that escape dispatched messages to HandleException.
    void Initialize();

    const std::string& Title() const { return title_; }
    void SetTitle(std::string title) { title_ = std::move(title); }

    // Creates a window, hidden, owned by the application. The first one is the main window.
    template <class T, class... Args> T* CreateForm(Args&&... args) {
        T* form = new T(std::forward<Args>(args)...);
        adopt(form);
        return form;
    }
    QWidget* MainForm() const { return forms_.empty() ? nullptr : forms_.front().data(); }

    // Shows the main window and runs the Qt event loop until the main window is closed or
    // Terminate is called; then frees the windows (the main window first). Returns the exit code.
    int Run();
    void Terminate(int exitCode = 0);
    bool Terminated() const { return terminated_; }
    // Frees every window the application owns: the main window first, then the others, newest first.
    void DestroyForms();

    // The exception display. HandleException passes the exception to the class library's hook
    // (cls::HandleException: EAbort stays silent), which Initialize points at ShowException.
    // ShowException shows the message through the dialog service, titled with Title(); called on
    // another thread, the display is queued to the GUI thread.
    void HandleException(std::exception_ptr e);
    void ShowException(const std::string& message);

private:
    void adopt(QWidget* form);
    void watchMainForm();

    std::string title_;
    std::vector<QPointer<QWidget>> forms_;
    std::unique_ptr<QObject> closeWatch_;
    bool terminated_ = false;
    bool running_ = false;
};

extern TApplication Application;

// Wraps an event handler (for example one connected to a Qt signal) so that an exception
// escaping it goes to the exception display: only that handler is abandoned.
template <class F> auto Guarded(F fn) {
    return [fn = std::move(fn)](auto&&... args) requires std::invocable<const F&, decltype(args)...> {
        try {
            fn(std::forward<decltype(args)>(args)...);
        } catch (...) {
            Application.HandleException(std::current_exception());
        }
    };
}

} // namespace cls
