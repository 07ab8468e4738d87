// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/about.h"

#include "platform/codepage/codepage_qt.h"
#include "platform/exec/exec.h"
#include "platform/gui/application.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

TAboutBox *AboutBox = nullptr;

namespace {

QFont Arial(int pixels, bool bold)
{
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QFrame *Rule(QWidget *parent, const char *name, int y)
{
    auto *r = new QFrame(parent);
    r->setObjectName(QString::fromLatin1(name));
    r->setFrameShape(QFrame::Panel);
    r->setFrameShadow(QFrame::Sunken);
    r->setLineWidth(1);
    r->setGeometry(22, y, 343, 4);
    return r;
}

// The maker's banner, 225 x 41.
QPixmap Banner()
{
    QPixmap p(225, 41);
    p.fill(Qt::white);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 225, 0);
    fill.setColorAt(0, QColor(0x10, 0x2a, 0x6b));
    fill.setColorAt(1, QColor(0x3a, 0x7b, 0xd5));
    g.setBrush(fill);
    g.setPen(Qt::NoPen);
    g.drawRoundedRect(QRectF(0.5, 0.5, 224, 40), 6, 6);
    g.setPen(Qt::white);
    g.setFont(Arial(24, true));
    g.drawText(QRectF(0, 0, 225, 41), Qt::AlignCenter, QStringLiteral("TOVRA"));
    return p;
}

} // namespace

QString TAboutBox::WebAddress()
{
    return QStringLiteral("https://www.tovra.example/vellamorix/");
}

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("Vellamorix  정보"));
    setFixedSize(388, 199);
    setWindowFlags((windowFlags() | Qt::MSWindowsFixedSizeDialogHint) & ~Qt::WindowContextHelpButtonHint);
    vx::gui::CentreOnScreen(this);

    PanelTovra = new QFrame(this);
    PanelTovra->setObjectName(QStringLiteral("PanelTovra"));
    PanelTovra->setGeometry(0, 0, 388, 199);
    PanelTovra->setAutoFillBackground(true);
    QPalette white = PanelTovra->palette();
    white.setColor(QPalette::Window, Qt::white);
    PanelTovra->setPalette(white);

    Label1 = new QLabel(QStringLiteral("Vellamorix (Ver 1.0)"), PanelTovra);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(Arial(27, true));
    Label1->setStyleSheet(QStringLiteral("color: navy;"));
    Label1->setGeometry(20, 10, 350, 34);

    Label6 = new QLabel(QStringLiteral("파일/폴더 보호 엔진 관리 콘솔"), PanelTovra);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setFont(Arial(13, true));
    Label6->setStyleSheet(QStringLiteral("color: black;"));
    Label6->setGeometry(22, 46, 343, 18);

    Panel7 = Rule(PanelTovra, "Panel7", 70);
    Label3 = new QLabel(QStringLiteral("URL : ") + WebAddress(), PanelTovra);
    Label3->setObjectName(QStringLiteral("Label3"));
    QFont link = Arial(13, false);
    link.setUnderline(true);
    Label3->setFont(link);
    Label3->setStyleSheet(QStringLiteral("color: blue;"));
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->setGeometry(22, 77, 343, 18);
    Label3->installEventFilter(this);
    Panel8 = Rule(PanelTovra, "Panel8", 98);

    Image1 = new QLabel(PanelTovra);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(Banner());
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setGeometry(22, 108, 250, 45);

    OKButton = new QPushButton(QStringLiteral("OK"), PanelTovra);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(292, 122, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, [this] { done(1); });

    Panel1 = new QLabel(QStringLiteral("Compiled on 6'th July 2002 "), PanelTovra);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Panel1->setStyleSheet(QStringLiteral("color: green;"));
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setGeometry(0, 178, 388, 21);
}

TAboutBox::~TAboutBox()
{
    if (AboutBox == this)
        AboutBox = nullptr;
}

bool TAboutBox::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        Label3Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TAboutBox::Label3Click()
{
    const std::string url = vx::codepage::ToAnsi(WebAddress());
    ShellExecuteA(this, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void ShowAboutBox()
{
    // Owned by the application for this one showing.
    auto *box = new TAboutBox(nullptr);
    AboutBox = box;
    box->exec();
    delete box;
}
