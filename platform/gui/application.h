// The application object: title, help file, main form and the default error report.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>
#include <exception>
#include <functional>

class QWidget;

namespace vx::gui {

// Shows an error that left a handler: a message box with the error's text; the program goes on.
void ReportException(const std::exception &error);
void ReportError(const QString &text);

// The application's main form (the first form created, as the entry point sets it).
// Closing it ends the program.
void SetMainForm(QWidget *form);
QWidget *MainForm();

// Moves a window (whose size is set) to the centre of the screen's free area.
void CentreOnScreen(QWidget *window);

class TApplication : public QApplication {
public:
    TApplication(int &argc, char **argv);
    ~TApplication() override;

    // Title of the taskbar button and caption of plain message boxes.
    QString Title() const;
    void SetTitle(const QString &title);

    // The platform's context-help file setting.
    QString HelpFile() const { return helpFile_; }
    void SetHelpFile(const QString &path) { helpFile_ = path; }

    // Exceptions that leave an event handler end up here and are reported, not fatal.
    bool notify(QObject *receiver, QEvent *event) override;

private:
    QString helpFile_;
};

} // namespace vx::gui
