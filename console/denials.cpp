#include "console/denials.h"

#include "engine/fprec.h"
#include "platform/codepage/codepage_qt.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace vx::console {

namespace {

constexpr int RoleIndex = Qt::UserRole;
constexpr int RoleFileFolder = Qt::UserRole + 1;
constexpr int RoleFilter = Qt::UserRole + 2;

QString Text(const std::string &utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

// Paths and programs are bytes; names that are no UTF-8 still show, byte for byte as the locale does.
QString Bytes(const std::string &raw)
{
    return QFile::decodeName(QByteArray(raw.data(), qsizetype(raw.size())));
}

QString Program(const vx::denials::Denial &d)
{
    return d.exe.empty() ? QStringLiteral("?") : Bytes(d.exe);
}

QString ObjectPath(const vx::denials::Denial &d)
{
    return d.path.empty() ? Bytes(d.posixPath) : Text(d.path);
}

QString LocalTime(const vx::denials::Denial &d)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(d.timeUs / 1000, Qt::UTC).toLocalTime();
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

NotificationHook &Hook()
{
    static NotificationHook hook;
    return hook;
}

// The freedesktop notification service: one notification at a time, replaced by the next; its
// default action runs `open`.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    DesktopNotifications(QObject *parent, std::function<void()> open) : QObject(parent), open_(std::move(open))
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        available_ = bus.isConnected() && bus.interface() &&
                     bus.interface()->isServiceRegistered(QString::fromLatin1(kService)).value();
        if (available_)
            bus.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kService),
                        QStringLiteral("ActionInvoked"), this, SLOT(ActionInvoked(uint, QString)));
    }
    bool available() const { return available_; }
    void Show(const QString &title, const QString &text)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                           QString::fromLatin1(kService), QStringLiteral("Notify"));
        call << QStringLiteral("Vellamorix") << id_ << QStringLiteral("security-high") << title << text
             << QStringList{QStringLiteral("default"), QStringLiteral("차단 기록")} << QVariantMap() << int(10000);
        // Never waits for the service: the answer (the id to replace next time) comes later.
        auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
            QDBusPendingReply<uint> reply = *w;
            if (reply.isValid())
                id_ = reply.value();
            w->deleteLater();
        });
    }

public Q_SLOTS:
    void ActionInvoked(uint id, const QString &action)
    {
        if (id == id_ && action == QStringLiteral("default") && open_)
            open_();
    }

private:
    static constexpr char kService[] = "org.freedesktop.Notifications";
    static constexpr char kPath[] = "/org/freedesktop/Notifications";
    std::function<void()> open_;
    bool available_ = false;
    uint id_ = 0;
};

} // namespace

RecordFollower::RecordFollower(const std::string &path, int pollMs, std::function<void()> changed, QObject *parent)
    : QObject(parent), path_(QString::fromStdString(path)), watcher_(new QFileSystemWatcher(this)), poll_(new QTimer(this))
{
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, [changed] { changed(); });
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this, changed] {
        Rearm();
        changed();
    });
    connect(poll_, &QTimer::timeout, this, [this, changed] {
        Rearm();
        changed();
    });
    poll_->start(pollMs);
    Rearm();
}

void RecordFollower::Rearm()
{
    const QString dir = QFileInfo(path_).absolutePath();
    if (!watcher_->directories().contains(dir) && QFileInfo(dir).isDir())
        watcher_->addPath(dir);
    // A file started anew is watched anew (the watch stays with the file that was moved away).
    watcher_->removePath(path_);
    if (QFileInfo(path_).isFile())
        watcher_->addPath(path_);
}

TFormDenials::TFormDenials(QWidget *parent, std::string recordPath, SelectEntry selectEntry)
    : QWidget(parent, Qt::Window), reader_(std::move(recordPath)), selectEntry_(std::move(selectEntry))
{
    setObjectName(QStringLiteral("FormDenials"));
    setWindowTitle(QStringLiteral("차단 기록"));
    setWindowModality(Qt::NonModal);
    resize(760, 400);

    auto *layout = new QVBoxLayout(this);
    auto *bar = new QHBoxLayout;
    auto *label = new QLabel(QStringLiteral("찾기(&F):"), this);
    Edit_Filter = new QLineEdit(this);
    Edit_Filter->setObjectName(QStringLiteral("Edit_Filter"));
    Edit_Filter->setPlaceholderText(QStringLiteral("프로그램 또는 파일/폴더"));
    Edit_Filter->setClearButtonEnabled(true);
    label->setBuddy(Edit_Filter);
    Button_Clear = new QPushButton(QStringLiteral("지우기"), this);
    Button_Clear->setObjectName(QStringLiteral("Button_Clear"));
    Button_Clear->setToolTip(QStringLiteral("목록을 비웁니다 (기록 파일은 그대로 둡니다)"));
    bar->addWidget(label);
    bar->addWidget(Edit_Filter, 1);
    bar->addWidget(Button_Clear);
    layout->addLayout(bar);

    ListView_Denials = new QTreeWidget(this);
    ListView_Denials->setObjectName(QStringLiteral("ListView_Denials"));
    ListView_Denials->setRootIsDecorated(false);
    ListView_Denials->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView_Denials->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView_Denials->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView_Denials->setSortingEnabled(false);
    ListView_Denials->setUniformRowHeights(true);
    ListView_Denials->setHeaderLabels({QStringLiteral("시간"), QStringLiteral("프로그램"), QStringLiteral("작업"),
                                       QStringLiteral("파일/폴더"), QStringLiteral("엔트리")});
    ListView_Denials->setColumnWidth(0, 140);
    ListView_Denials->setColumnWidth(1, 160);
    ListView_Denials->setColumnWidth(2, 90);
    ListView_Denials->setColumnWidth(3, 220);
    layout->addWidget(ListView_Denials, 1);

    Label_Note = new QLabel(this);
    Label_Note->setObjectName(QStringLiteral("Label_Note"));
    Label_Note->setTextFormat(Qt::PlainText);
    Label_Note->hide();
    layout->addWidget(Label_Note);

    connect(Edit_Filter, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    connect(Button_Clear, &QPushButton::clicked, this, [this] { ClearClick(); });
    connect(ListView_Denials, &QTreeWidget::itemSelectionChanged, this, [this] { RowSelected(); });

    follower_ = new RecordFollower(reader_.path(), 1000, [this] { ReadRecord(); }, this);
    ReadRecord();
}

void TFormDenials::ReadRecord()
{
    readPending_ = false;
    vx::denials::RecordReader::Batch batch = reader_.Poll(kReadPiece);
    // Newest first: the piece goes in at the top at once, its last record uppermost.
    QList<QTreeWidgetItem *> rows;
    rows.reserve(qsizetype(batch.records.size()));
    for (auto d = batch.records.rbegin(); d != batch.records.rend(); ++d)
        rows << Row(*d);
    ListView_Denials->insertTopLevelItems(0, rows);
    for (QTreeWidgetItem *row : rows)
        row->setHidden(!Matches(row));
    while (ListView_Denials->topLevelItemCount() > kMaxRows)
        delete ListView_Denials->takeTopLevelItem(ListView_Denials->topLevelItemCount() - 1);
    if (!batch.notes.empty()) {
        // One line, the latest; every note of this read in its tip.
        Label_Note->setText(QString::fromStdString(batch.notes.back()));
        QStringList all;
        for (const std::string &n : batch.notes)
            all << QString::fromStdString(n);
        Label_Note->setToolTip(all.join(QLatin1Char('\n')));
        Label_Note->show();
    } else if (!batch.records.empty()) {
        Label_Note->hide();
    }
    if (batch.more && !readPending_) {
        readPending_ = true;
        QTimer::singleShot(0, this, [this] { ReadRecord(); });
    }
}

QTreeWidgetItem *TFormDenials::Row(const vx::denials::Denial &d) const
{
    auto *item = new QTreeWidgetItem;
    item->setText(0, LocalTime(d));
    item->setToolTip(0, Text(d.time));
    if (d.dropped) {
        item->setText(1, QStringLiteral("-"));
        item->setText(2, QStringLiteral("기록 안 됨"));
        item->setText(3, QStringLiteral("차단 %1건이 너무 잦아 기록되지 않았습니다").arg(qulonglong(d.dropped)));
        item->setData(0, RoleIndex, -2);
    } else {
        item->setText(1, Program(d));
        item->setToolTip(1, QStringLiteral("%1 (pid %2)").arg(Program(d)).arg(d.pid));
        QString operation = vx::codepage::FromAnsi(MaskToText(d.mask));
        if (d.permissive)
            operation += QStringLiteral(" (허용 모드: 막지 않음)");
        item->setText(2, operation);
        item->setText(3, ObjectPath(d));
        item->setToolTip(3, Bytes(d.posixPath));
        if (d.entry < 0)
            item->setText(4, QStringLiteral("레지스트리 저장소 보호"));
        else
            item->setText(4, QStringLiteral("%1: %2").arg(d.entry).arg(Text(d.entryFileFolder)));
        item->setData(0, RoleIndex, d.entry);
        item->setData(0, RoleFileFolder, QByteArray::fromStdString(d.entryFileFolder));
        item->setData(0, RoleFilter, (Program(d) + QLatin1Char('\n') + ObjectPath(d) + QLatin1Char('\n') + Bytes(d.posixPath)));
    }
    return item;
}

bool TFormDenials::Matches(const QTreeWidgetItem *item) const
{
    const QString filter = Edit_Filter->text().trimmed();
    return filter.isEmpty() || item->data(0, RoleFilter).toString().contains(filter, Qt::CaseInsensitive);
}

void TFormDenials::ApplyFilter()
{
    for (int i = 0; i < ListView_Denials->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = ListView_Denials->topLevelItem(i);
        item->setHidden(!Matches(item));
    }
}

void TFormDenials::ClearClick()
{
    ListView_Denials->clear();
    Label_Note->hide();
}

void TFormDenials::RowSelected()
{
    const QList<QTreeWidgetItem *> selected = ListView_Denials->selectedItems();
    if (selected.isEmpty() || !selectEntry_)
        return;
    const int index = selected.front()->data(0, RoleIndex).toInt();
    if (index < 0)
        return;
    const QByteArray fileFolder = selected.front()->data(0, RoleFileFolder).toByteArray();
    if (!selectEntry_(index, fileFolder.toStdString())) {
        Label_Note->setText(QStringLiteral("이 차단을 한 엔트리는 이제 목록에 없습니다."));
        Label_Note->setToolTip(QString());
        Label_Note->show();
    }
}

NotificationHook SetNotificationHook(NotificationHook hook)
{
    NotificationHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

DenialNotifier::DenialNotifier(QWidget *window, std::string recordPath, std::function<void()> open)
    : QObject(window), window_(window), reader_(std::move(recordPath)), open_(std::move(open)), quiet_(new QTimer(this))
{
    // Only what is denied from now on.
    reader_.SkipToEnd();
    quiet_->setSingleShot(true);
    connect(quiet_, &QTimer::timeout, this, [this] { Flush(); });
    follower_ = new RecordFollower(reader_.path(), 2000, [this] { ReadRecord(); }, this);
}

DenialNotifier::~DenialNotifier() = default;

void DenialNotifier::ReadRecord()
{
    vx::denials::RecordReader::Batch batch = reader_.Poll(256 * 1024);
    for (const vx::denials::Denial &d : batch.records) {
        if (d.dropped) {
            pending_ += int(std::min<uint64_t>(d.dropped, 1u << 30));
            continue;
        }
        ++pending_;
        if (d.permissive)
            ++permissive_;
        lastProgram_ = Program(d);
        lastPath_ = ObjectPath(d);
    }
    if (batch.more)
        QTimer::singleShot(0, this, [this] { ReadRecord(); });
    if (pending_ == 0 || quiet_->isActive())
        return;
    // A burst is gathered into one notification: raised a moment after its first denial, and
    // never sooner than kQuietMs after the one before.
    const qint64 wait = since_.isValid() ? std::max<qint64>(kSettleMs, kQuietMs - since_.elapsed()) : kSettleMs;
    quiet_->start(int(wait));
}

void DenialNotifier::Activate()
{
    if (open_)
        open_();
}

void DenialNotifier::Flush()
{
    if (pending_ == 0)
        return;
    // In permissive mode nothing was stopped: the title says so.
    const QString title = permissive_ == pending_ ? QStringLiteral("Vellamorix: 허용 모드라 막지 않은 차단 %1건").arg(pending_)
                                                  : QStringLiteral("Vellamorix: 차단 %1건").arg(pending_);
    const QString text = lastProgram_.isEmpty() ? QStringLiteral("차단 기록을 보려면 누르십시오.")
                                                : QStringLiteral("%1 → %2").arg(QFileInfo(lastProgram_).fileName(), lastPath_);
    pending_ = 0;
    permissive_ = 0;
    since_.start();
    ++raised_;
    Show(title, text);
}

void DenialNotifier::Show(const QString &title, const QString &text)
{
    if (Hook()) {
        Hook()(title, text);
        return;
    }
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!tray_) {
            tray_ = new QSystemTrayIcon(window_->windowIcon(), this);
            tray_->setToolTip(QStringLiteral("Vellamorix"));
            connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] { Activate(); });
            connect(tray_, &QSystemTrayIcon::activated, this, [this] { Activate(); });
            tray_->show();
        }
        tray_->showMessage(title, text, QSystemTrayIcon::Warning, 10000);
        return;
    }
    if (!desktop_)
        desktop_ = new DesktopNotifications(this, [this] { Activate(); });
    auto *desktop = static_cast<DesktopNotifications *>(desktop_);
    if (desktop->available())
        desktop->Show(title, text);
}

} // namespace vx::console

#include "denials.moc"
