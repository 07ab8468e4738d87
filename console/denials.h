// What the engine denied: the history window (보기 > 차단 기록) and the desktop notification
// raised while the console runs. Both follow the engine's record through engine/denials.h,
// reading only what was added since their last read.
#pragma once

#include "engine/denials.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace vx::console {

// Watches the record file (and its folder, for a file that appears or is started again) and
// polls as well, for file systems that do not report changes; `changed` runs on either.
class RecordFollower : public QObject {
public:
    RecordFollower(const std::string &path, int pollMs, std::function<void()> changed, QObject *parent);
    void Rearm(); // watches the file again (a file started anew is another file)

private:
    QString path_;
    QFileSystemWatcher *watcher_;
    QTimer *poll_;
};

class TFormDenials : public QWidget {
public:
    // `selectEntry` selects the entry's row in the main list when it still exists there: the
    // index and FileFolder (UTF-8) the record names; false when there is no such entry.
    using SelectEntry = std::function<bool(int index, const std::string &fileFolder)>;
    explicit TFormDenials(QWidget *parent, std::string recordPath, SelectEntry selectEntry);

    // Reads what was added to the record (a piece at a time: the rest follows on the event loop).
    void ReadRecord();
    // Empties the list; later denials still come.
    void ClearClick();
    void ApplyFilter();

    QLineEdit *Edit_Filter = nullptr;
    QPushButton *Button_Clear = nullptr;
    QTreeWidget *ListView_Denials = nullptr;
    QLabel *Label_Note = nullptr;

    // The most rows kept; the oldest go first.
    static constexpr int kMaxRows = 5000;
    // How much of the record one read takes before it lets the window run.
    static constexpr size_t kReadPiece = 256 * 1024;

private:
    QTreeWidgetItem *Row(const vx::denials::Denial &d) const;
    bool Matches(const QTreeWidgetItem *item) const;
    void RowSelected();

    vx::denials::RecordReader reader_;
    SelectEntry selectEntry_;
    RecordFollower *follower_ = nullptr;
    bool readPending_ = false;
};

// A desktop notification: the tray's message where there is a tray, else the freedesktop
// notification service over D-Bus. Tests and programs without a desktop set a hook, which then
// takes every notification instead.
using NotificationHook = std::function<void(const QString &title, const QString &text)>;
NotificationHook SetNotificationHook(NotificationHook hook);

// Raises a notification for denials recorded after the console started: at most one every
// kQuietMs, saying how many since the last one and the latest program and path. Clicking it
// runs `open`.
class DenialNotifier : public QObject {
public:
    DenialNotifier(QWidget *window, std::string recordPath, std::function<void()> open);
    ~DenialNotifier() override;
    static constexpr int kQuietMs = 5000;
    static constexpr int kSettleMs = 1000;
    void ReadRecord();
    // What clicking the notification does: opens the history.
    void Activate();
    int Raised() const { return raised_; }

private:
    void Flush();
    void Show(const QString &title, const QString &text);

    QWidget *window_;
    vx::denials::RecordReader reader_;
    std::function<void()> open_;
    RecordFollower *follower_ = nullptr;
    QTimer *quiet_ = nullptr;
    QElapsedTimer since_;
    int pending_ = 0;
    int permissive_ = 0; // of pending_, those permissive mode let through
    QString lastProgram_, lastPath_;
    int raised_ = 0;
    QSystemTrayIcon *tray_ = nullptr;
    QObject *desktop_ = nullptr; // the notification service's client, made at the first need
};

} // namespace vx::console
