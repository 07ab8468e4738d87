// The password dialogs through their real widgets, against a private registry store.
#include "support/consoletest.h"
#include "password/changepwd.h"
#include "password/okpass.h"
#include "password/scrambler.h"
#include "password/setpass.h"
#include "platform/gui/application.h"
#include "platform/gui/ime.h"
#include "platform/registry/registry.h"
#include "support/cp949.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

namespace {

vxtest::Sandbox g_env;

// Stands in for the main window: counts the close requests the dialogs send it.
class FakeMain : public QWidget {
public:
    int closes = 0;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++closes;
        event->accept();
    }
};

// The next widget Tab moves to.
QWidget *NextTabStop(QWidget *w)
{
    for (QWidget *n = w->nextInFocusChain(); n && n != w; n = n->nextInFocusChain()) {
        if ((n->focusPolicy() & Qt::TabFocus) && n->isEnabled() && n->isVisibleTo(w->window()))
            return n;
    }
    return nullptr;
}

class PasswordDialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_env.ResetRegistry();
        vx::gui::SetMainForm(&main);
    }
    void TearDown() override { vx::gui::SetMainForm(nullptr); }

    static AnsiString StoredText()
    {
        TRegistry reg;
        if (!reg.OpenKeyReadOnly(PasswordKeyPath))
            return {};
        return reg.ReadString(PasswordValueName);
    }

    FakeMain main;
    vxtest::MessageRecorder messages;
};

TEST_F(PasswordDialogs, SetPasswordChecksBothFieldsBeforeStoring)
{
    TFormsetpass d;
    EXPECT_EQ(d.ScrambleKey, "k#%$&!+47");
    d.show();
    EXPECT_EQ(d.windowTitle(), QString("Vellamorix"));
    EXPECT_EQ(d.size(), QSize(297, 99));

    d.Button1->click(); // two empty fields
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.texts[0], QString("빈칸은 안됩니다."));
    EXPECT_EQ(messages.captions[0], QApplication::applicationName());

    d.MaskEdit1->setText("Secret");
    d.MaskEdit2->setText("secret");
    d.Button1->click();
    ASSERT_EQ(messages.texts.size(), 2);
    EXPECT_EQ(messages.texts[1], QString("암호가 일치하지 않습니다. 다시 입력하세요!"));
    EXPECT_EQ(d.MaskEdit1->text(), QString("Secret")); // both keep their text
    EXPECT_EQ(d.MaskEdit2->text(), QString("secret"));
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(StoredText().empty());

    d.MaskEdit2->setText("Secret");
    d.Button1->click();
    EXPECT_EQ(messages.texts.size(), 2);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(d.Passed());
    EXPECT_EQ(d.result(), 1);
    EXPECT_EQ(main.closes, 0);
    const AnsiString stored = StoredText();
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{14}$").match(QString::fromStdString(stored)).hasMatch()) << stored;
    EXPECT_TRUE(CheckPassword("Secret"));
    EXPECT_FALSE(CheckPassword("secret"));
}

TEST_F(PasswordDialogs, SetPasswordEnterOnlyInTheSecondField)
{
    TFormsetpass d;
    d.show();
    d.MaskEdit1->setText("한글암호");
    d.MaskEdit2->setText("한글암호");
    QTest::keyClick(d.MaskEdit1, Qt::Key_Return);
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(StoredText().empty());
    QTest::keyClick(d.MaskEdit2, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_TRUE(CheckPassword(Cp949("한글암호"))); // stored as CP949 bytes
}

// "a😀" would be stored as "a?", the same as the password "a?": such a password is refused and
// the dialog stays open as typed; a Korean password is taken.
TEST_F(PasswordDialogs, SetPasswordRefusesCharactersCp949Lacks)
{
    TFormsetpass d;
    d.show();
    for (const QString &pw : {QString::fromUtf8("a😀"), QString::fromUtf8("café")}) {
        d.MaskEdit1->setText(pw);
        d.MaskEdit2->setText(pw);
        d.Button1->click();
        EXPECT_TRUE(d.isVisible());
        EXPECT_FALSE(d.Passed());
        EXPECT_EQ(d.MaskEdit1->text(), pw);
        EXPECT_EQ(d.MaskEdit2->text(), pw);
    }
    QTest::keyClick(d.MaskEdit2, Qt::Key_Return); // Enter takes the same steps
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(messages.texts, QStringList(3, QString("CP949로 나타낼 수 없는 글자가 있습니다.")));
    EXPECT_TRUE(StoredText().empty());

    d.MaskEdit1->setText("a?");
    d.MaskEdit2->setText("a?");
    d.Button1->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(CheckPassword("a?"));
}

TEST_F(PasswordDialogs, SetPasswordFieldsAndTabOrder)
{
    TFormsetpass d;
    d.show();
    d.MaskEdit1->setText("x");
    d.hide();
    d.show(); // every showing starts empty
    EXPECT_TRUE(d.MaskEdit1->text().isEmpty());
    EXPECT_EQ(d.MaskEdit1->echoMode(), QLineEdit::Password);
    const QString longText(40000, QChar('p')); // no length limit
    d.MaskEdit2->setText(longText);
    EXPECT_EQ(d.MaskEdit2->text(), longText);
    EXPECT_EQ(NextTabStop(d.Button1), d.MaskEdit1);
    EXPECT_FALSE(d.Button1->autoDefault());
    EXPECT_FALSE(d.Button1->isDefault());
    EXPECT_EQ(d.Label2->text(), QString("암 호 :"));
    EXPECT_EQ(d.Label3->text(), QString("다시 입력 : "));
}

TEST_F(PasswordDialogs, SetPasswordCannotBeLeftWithoutAPassword)
{
    // Close box, Alt+F4 and close requests from outside all arrive as a close.
    {
        TFormsetpass d;
        d.show();
        d.MaskEdit1->setText("a");
        d.MaskEdit2->setText("a");
        d.close();
        EXPECT_FALSE(d.isVisible());
        EXPECT_FALSE(d.Passed());
        EXPECT_EQ(d.result(), 2);
        EXPECT_EQ(main.closes, 1);
    }
    // Escape does nothing.
    {
        TFormsetpass d;
        d.show();
        QTest::keyClick(&d, Qt::Key_Escape);
        QTest::keyClick(d.MaskEdit1, Qt::Key_Escape);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(main.closes, 1);
        // Any other way of dismissing it is the exit steps.
        d.reject();
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(main.closes, 2);
    }
    EXPECT_TRUE(StoredText().empty()); // the next start asks for a first password again
}

TEST_F(PasswordDialogs, ModalSetPasswordClosedByTheWindowManager)
{
    TFormsetpass d;
    QTimer::singleShot(0, &d, [&] {
        QCloseEvent request; // as a close message from another program
        QApplication::sendEvent(&d, &request);
    });
    EXPECT_EQ(d.exec(), 2);
    EXPECT_EQ(main.closes, 1);
}

class PromptTest : public PasswordDialogs {
protected:
    void SetUp() override
    {
        PasswordDialogs::SetUp();
        ASSERT_TRUE(StorePassword("Right1"));
    }
};

TEST_F(PromptTest, WrongPasswordKeepsThePromptOpen)
{
    TFormokpass d;
    d.show();
    EXPECT_EQ(d.size(), QSize(280, 89));
    EXPECT_EQ(d.Label2->text(), QString("등록된 사용자가 아니라면 종료를 눌러주세요. "));
    for (const char *wrong : {"", "right1", "Right1 ", "Wrong"}) {
        d.MaskEdit1->setText(wrong);
        d.Button1->click();
        EXPECT_TRUE(d.isVisible()) << wrong;
        EXPECT_EQ(d.MaskEdit1->text(), QString(wrong));
    }
    ASSERT_EQ(messages.texts.size(), 4);
    for (const QString &t : messages.texts)
        EXPECT_EQ(t, QString("암호가 틀렸습니다."));
    EXPECT_FALSE(d.Passed());

    d.MaskEdit1->setText("Right1");
    QTest::keyClick(d.MaskEdit1, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(d.Passed());
    EXPECT_EQ(d.result(), 1);
    EXPECT_EQ(main.closes, 0);
}

TEST_F(PromptTest, EveryWayOutEndsTheProgram)
{
    {
        TFormokpass d;
        d.show();
        d.Button2->click();
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(main.closes, 1);
    }
    {
        TFormokpass d;
        d.show();
        d.close();
        EXPECT_EQ(main.closes, 2);
        EXPECT_FALSE(d.Passed());
    }
    {
        TFormokpass d;
        d.show();
        QTest::keyClick(d.MaskEdit1, Qt::Key_Escape);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(main.closes, 2);
        QTimer::singleShot(0, &d, [&] { d.reject(); });
        EXPECT_EQ(d.exec(), 2);
        EXPECT_EQ(main.closes, 3);
    }
    EXPECT_EQ(messages.texts.size(), 0);
}

TEST_F(PromptTest, TabOrderAndFreshFieldOnEveryShowing)
{
    TFormokpass d;
    d.show();
    d.MaskEdit1->setText("typed");
    d.hide();
    d.show();
    EXPECT_TRUE(d.MaskEdit1->text().isEmpty());
    EXPECT_EQ(NextTabStop(d.Button1), d.Button2);
    EXPECT_EQ(NextTabStop(d.Button2), d.MaskEdit1);
}

TEST_F(PasswordDialogs, UnreadableStoredValueDecidesNothing)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(PasswordKeyPath, true));
        reg.WriteString(PasswordValueName, "12XZ34");
    }
    TFormokpass d;
    d.show();
    d.MaskEdit1->setText("anything");
    d.Button1->click();
    ASSERT_EQ(messages.texts.size(), 1); // the error report, not a verdict
    EXPECT_NE(messages.texts[0], QString("암호가 틀렸습니다."));
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(d.Passed());
    EXPECT_EQ(main.closes, 0);
}

TEST_F(PromptTest, ChangeChecksTheCurrentPasswordFirst)
{
    TFormchangepwd d;
    d.show();
    EXPECT_EQ(d.size(), QSize(242, 167));
    d.MaskEdit1->setText("wrong");
    d.MaskEdit2->setText("a");
    d.MaskEdit3->setText("b");
    d.Button1->click();
    d.MaskEdit1->setText("Right1");
    d.Button1->click();
    d.MaskEdit2->clear();
    d.MaskEdit3->clear();
    d.Button1->click();
    ASSERT_EQ(messages.texts.size(), 3);
    EXPECT_EQ(messages.texts[0], QString(" 현재 암호가 틀렸습니다."));
    EXPECT_EQ(messages.texts[1], QString(" 변경할 암호가 일치하지 않습니다. 다시 입력하세요!"));
    EXPECT_EQ(messages.texts[2], QString("빈칸은 안됩니다."));
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(CheckPassword("Right1"));

    d.MaskEdit2->setText("New2");
    d.MaskEdit3->setText("New2");
    QTest::keyClick(d.MaskEdit3, Qt::Key_Return); // Enter does nothing here
    EXPECT_TRUE(d.isVisible());
    d.Button1->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), 1);
    EXPECT_TRUE(CheckPassword("New2"));
    EXPECT_FALSE(CheckPassword("Right1"));

    // The next start accepts only the new password.
    TFormokpass prompt;
    prompt.show();
    prompt.MaskEdit1->setText("Right1");
    prompt.Button1->click();
    EXPECT_TRUE(prompt.isVisible());
    prompt.MaskEdit1->setText("New2");
    prompt.Button1->click();
    EXPECT_FALSE(prompt.isVisible());
}

TEST_F(PromptTest, ChangeRefusesANewPasswordCp949Cannot)
{
    TFormchangepwd d;
    d.show();
    d.MaskEdit1->setText("Right1");
    d.MaskEdit2->setText(QString::fromUtf8("new😀"));
    d.MaskEdit3->setText(QString::fromUtf8("new😀"));
    d.Button1->click();
    EXPECT_EQ(messages.texts, QStringList{"CP949로 나타낼 수 없는 글자가 있습니다."});
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.MaskEdit2->text(), QString::fromUtf8("new😀"));
    EXPECT_TRUE(CheckPassword("Right1"));
    EXPECT_FALSE(CheckPassword("new?"));

    d.MaskEdit2->setText("새암호");
    d.MaskEdit3->setText("새암호");
    d.Button1->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(CheckPassword(Cp949("새암호")));
}

TEST_F(PromptTest, ChangeCancelAndCloseBoxChangeNothing)
{
    TFormchangepwd d;
    d.show();
    d.MaskEdit1->setText("Right1");
    d.MaskEdit2->setText("x");
    d.MaskEdit3->setText("x");
    d.Button2->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), 2);
    d.show();
    EXPECT_TRUE(d.MaskEdit1->text().isEmpty()); // emptied on showing
    QTest::keyClick(d.MaskEdit1, Qt::Key_Escape);
    EXPECT_TRUE(d.isVisible());
    d.close();
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(CheckPassword("Right1"));
    EXPECT_EQ(main.closes, 0); // the change dialog never ends the program
    EXPECT_EQ(NextTabStop(d.MaskEdit1), d.MaskEdit2);
    EXPECT_EQ(NextTabStop(d.MaskEdit3), d.Button1);
}

TEST_F(PasswordDialogs, FieldsMaskTheirTextAndAskForTheKoreanInputMethod)
{
    TFormsetpass set;
    TFormokpass prompt;
    TFormchangepwd change;
    QLineEdit other;
    vx::gui::SetImeName(&other, "other");
    for (QLineEdit *e : {set.MaskEdit1, set.MaskEdit2, prompt.MaskEdit1, change.MaskEdit1, change.MaskEdit2,
                         change.MaskEdit3}) {
        const std::string name = e->window()->objectName().toStdString() + "." + e->objectName().toStdString();
        EXPECT_EQ(e->echoMode(), QLineEdit::Password) << name;
        EXPECT_TRUE(e->inputMask().isEmpty()) << name;
        QFocusEvent otherIn(QEvent::FocusIn);
        QApplication::sendEvent(&other, &otherIn);
        QFocusEvent in(QEvent::FocusIn);
        QApplication::sendEvent(e, &in);
        EXPECT_EQ(vx::gui::LastRequestedIme(), QString("한국어(한글) (MS-IME98)")) << name;
    }
    // Captions and the group boxes.
    for (QDialog *d : std::initializer_list<QDialog *>{&set, &prompt, &change})
        EXPECT_EQ(d->windowTitle(), QString("Vellamorix"));
    EXPECT_EQ(set.GroupBox1->title(), QString(" 암호 설정 "));
    EXPECT_EQ(prompt.GroupBox1->title(), QString(" 암호 입력 "));
    EXPECT_EQ(change.GroupBox1->title(), QString(" 암호 변경 "));
    EXPECT_EQ(change.Label1->text(), QString("현재 암호"));
    EXPECT_EQ(change.Label2->text(), QString("변경할 암호"));
    EXPECT_EQ(change.Label3->text(), QString("다시 입력"));
    EXPECT_EQ(set.Button1->text(), QString("확 인"));
    EXPECT_EQ(prompt.Button1->text(), QString("확 인"));
    EXPECT_EQ(prompt.Button2->text(), QString("종 료"));
    EXPECT_EQ(change.Button1->text(), QString("확 인"));
    EXPECT_EQ(change.Button2->text(), QString("취 소"));
    // No default button anywhere: Enter in a field that has no handler of its own does nothing.
    for (QPushButton *b : {set.Button1, prompt.Button1, prompt.Button2, change.Button1, change.Button2})
        EXPECT_FALSE(b->isDefault() || b->autoDefault());
}

TEST_F(PromptTest, WrongPasswordsPutTheFocusBackIntoTheField)
{
    TFormokpass prompt;
    prompt.show();
    EXPECT_EQ(prompt.focusWidget(), prompt.MaskEdit1); // focused on showing
    prompt.MaskEdit1->setText("wrong");
    prompt.Button1->setFocus();
    prompt.Button1->click();
    EXPECT_EQ(prompt.focusWidget(), prompt.MaskEdit1);

    TFormchangepwd change;
    change.show();
    change.MaskEdit1->setText("wrong");
    change.MaskEdit2->setFocus();
    change.Button1->click();
    EXPECT_EQ(change.focusWidget(), change.MaskEdit1);
    EXPECT_EQ(messages.texts, (QStringList{"암호가 틀렸습니다.", " 현재 암호가 틀렸습니다."}));

    TFormsetpass set;
    set.show();
    EXPECT_EQ(set.focusWidget(), set.MaskEdit1); // focused on showing, not the first tab stop
}

// A store that cannot be opened for writing (its folder cannot be made) keeps the set-password
// dialog open without a message; OK again retries.
TEST_F(PasswordDialogs, SetPasswordWaitsForAWritableStore)
{
    const QString blocker = vxtest::Q(g_env.dir) + "/blocker";
    {
        QFile file(blocker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    TFormsetpass d;
    d.show();
    d.MaskEdit1->setText("pw");
    d.MaskEdit2->setText("pw");
    setenv("VELLAMORIX_REGISTRY", (blocker + "/registry.db").toUtf8().constData(), 1);
    d.Button1->click();
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(d.Passed());
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(main.closes, 0);
    setenv("VELLAMORIX_REGISTRY", g_env.registry.c_str(), 1);
    EXPECT_TRUE(StoredText().empty());
    d.Button1->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(d.Passed());
    EXPECT_TRUE(CheckPassword("pw"));
    QFile::remove(blocker);
}

} // namespace
