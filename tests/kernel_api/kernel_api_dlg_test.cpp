// The window on the offscreen platform: its controls and texts, and clicks reaching the logic.
#ifdef NVX_KERNEL_API_GUI

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "kernel_api/gui/kernel_api_dlg.h"
#include "kernel_doubles.h"
#include "platform/user_dialogs.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/window_input.h"

namespace nvx {
namespace {

using test::Bytes;

class KernelApiDlgTest : public test::KernelLineTest {
protected:
    static void SetUpTestSuite() { test::EnsureTestApp(); }

    void SetUp() override {
        KernelLineTest::SetUp();
        AnswerWith({0x34, 0x12});
        SetMessageBoxes(&boxes);
        dlg = std::make_unique<CKernelApiDlg>(clock, shell);
    }
    void TearDown() override {
        dlg.reset();
        SetMessageBoxes(nullptr);
        KernelLineTest::TearDown();
    }

    template <typename T>
    T* child(const char* name) {
        T* w = dlg->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString text(const char* field) { return child<QLineEdit>(field)->text(); }
    void click(const char* button) { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
    void choose(const char* label) {
        child<QComboBox>("commandList")->setCurrentIndex(FindKernelCommand(label));
    }

    test::RecordingShell shell;
    RecordingMessageBoxes boxes;
    std::unique_ptr<CKernelApiDlg> dlg;
};

TEST_F(KernelApiDlgTest, ControlsTextsAndFirstValues) {
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Norvix Kernel"));
    EXPECT_FALSE(dlg->isVisible());  // created hidden
    EXPECT_TRUE(dlg->testAttribute(Qt::WA_ShowWithoutActivating));

    const struct {
        const char* name;
        const char* title;
    } groups[] = {{"apiCommandGroup", "API Command"},
                  {"versionGroup", "Version"},
                  {"debugGroup", "Debug"},
                  {"tuvCommandsGroup", "TUV Commands"}};
    for (const auto& g : groups) EXPECT_EQ(child<QGroupBox>(g.name)->title(), QString::fromLatin1(g.title));

    const struct {
        const char* name;
        const char* text;
        const char* group;  // nullptr: directly in the window
    } buttons[] = {
        {"sendCommandButton", "Send Command", "apiCommandGroup"},
        {"hardwareButton", "Hardware", "versionGroup"},
        {"norvixButton", "Norvix", "versionGroup"},
        {"applicationButton", "Application", "versionGroup"},
        {"slotButton", "Slot", "debugGroup"},
        {"timerButton", "Timer", "debugGroup"},
        {"bytesButton", "Bytes", "debugGroup"},
        {"tunnelOnButton", "Tunnel ON", "tuvCommandsGroup"},
        {"tunnelOffButton", "Tunnel OFF", "tuvCommandsGroup"},
        {"testCommunicationButton", "Test Communication", nullptr},
        {"closeButton", "Close", nullptr},
    };
    for (const auto& b : buttons) {
        auto* button = child<QPushButton>(b.name);
        EXPECT_EQ(button->text(), QString::fromLatin1(b.text));
        EXPECT_TRUE(button->isEnabled()) << b.name;
        EXPECT_FALSE(button->autoDefault()) << b.name;
        const QString parent = button->parentWidget()->objectName();
        EXPECT_EQ(parent, b.group ? QString::fromLatin1(b.group) : dlg->objectName()) << b.name;
    }
    QStringList labels;
    for (QLabel* l : child<QGroupBox>("apiCommandGroup")->findChildren<QLabel*>()) labels << l->text();
    EXPECT_TRUE(labels.contains(QStringLiteral("Parameter")));
    EXPECT_TRUE(labels.contains(QStringLiteral("Returncode")));

    auto* list = child<QComboBox>("commandList");
    ASSERT_EQ(list->count(), 32);
    for (int row = 0; row < list->count(); ++row)
        EXPECT_EQ(list->itemText(row), QString::fromLatin1(KernelCommandTable[row].label)) << row;
    EXPECT_EQ(list->itemText(0), QStringLiteral("----------------------"));
    EXPECT_EQ(list->itemText(1), QStringLiteral("Reset"));
    EXPECT_EQ(list->currentIndex(), -1);

    const struct {
        const char* name;
        const char* value;
        bool right;
    } fields[] = {
        {"parameterField", "0", true},
        {"returnCodeDecimalField", "", true},
        {"returnCodeHexField", "", true},
        {"hardwareField", "unknown", false},
        {"norvixField", "unknown", false},
        {"applicationField", "unknown", false},
        {"slotNumberField", "0", false},
        {"slotResultField", "0", false},
        {"timerNumberField", "0", false},
        {"timerResultField", "0", false},
        {"bytesResultField", "00 00 00 00", false},
    };
    for (const auto& f : fields) {
        auto* edit = child<QLineEdit>(f.name);
        EXPECT_EQ(edit->text(), QString::fromLatin1(f.value)) << f.name;
        EXPECT_EQ((edit->alignment() & Qt::AlignRight) != 0, f.right) << f.name;
        EXPECT_TRUE(edit->isEnabled()) << f.name;
    }
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
}

TEST_F(KernelApiDlgTest, ClicksReachTheirCommands) {
    // What a button does not read is shown back from the fields after its request, as the window
    // always did; so each case types just before its click.
    const struct {
        const char* button;
        std::function<void()> type;
        uint32_t id;
        Bytes data;
    } cases[] = {
        {"hardwareButton", [] {}, 0x0081, {0, 0}},
        {"norvixButton", [] {}, 0x0081, {1, 0}},
        {"applicationButton", [] {}, 0x0081, {2, 0}},
        {"bytesButton", [] {}, 0x008F, {1, 0}},
        {"tunnelOnButton", [] {}, 0x0080, {0xED, 0xFF}},
        {"tunnelOffButton", [] {}, 0x0080, {0xED, 0x00}},
        {"testCommunicationButton", [] {}, 0x0080, {0x00, 0x00}},
        {"sendCommandButton",
         [&] {
             choose("ErrorModNum");
             child<QLineEdit>("parameterField")->setText(QStringLiteral("7"));
         },
         0x0080, {0xDB, 0x07}},
        {"slotButton", [&] { child<QLineEdit>("slotNumberField")->setText(QStringLiteral("12")); },
         0x008F, {0x00, 12}},
        {"timerButton", [&] { child<QLineEdit>("timerNumberField")->setText(QStringLiteral(" 4")); },
         0x008F, {0x00, 255 - 4}},
    };
    for (const auto& c : cases) {
        frames.clear();
        c.type();
        click(c.button);
        EXPECT_EQ(KernelWindowState, kKernelWindowBusy) << c.button;
        ASSERT_TRUE(RunToEnd()) << c.button;
        ASSERT_EQ(frames.size(), 1u) << c.button;
        EXPECT_EQ(frames[0].id, c.id) << c.button;
        EXPECT_EQ(frames[0].data, c.data) << c.button;
    }
}

TEST_F(KernelApiDlgTest, RepliesShowInTheFields) {
    choose("Reset");
    click("sendCommandButton");
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(text("returnCodeDecimalField"), QStringLiteral("4660"));
    EXPECT_EQ(text("returnCodeHexField"), QStringLiteral("0x1234"));
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"});

    AnswerWith({3, 7, 0x21, 0x05});
    click("hardwareButton");
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(text("hardwareField"), QStringLiteral("P 3, V 7, H 0x05/21"));
}

TEST_F(KernelApiDlgTest, ChoosingACommandResetsTheParameterAndSendingAnEmptyOneShowsZero) {
    choose("AnzCode");
    auto* parameter = child<QLineEdit>("parameterField");
    parameter->setText(QStringLiteral("0x12"));
    choose("ErrorModNum");
    EXPECT_EQ(parameter->text(), QStringLiteral("0"));

    parameter->clear();
    click("sendCommandButton");
    EXPECT_EQ(parameter->text(), QStringLiteral("0"));
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0xDB, 0x00}));
}

TEST_F(KernelApiDlgTest, TheConfirmationIsAskedThroughTheMessageBoxes) {
    choose("ErrorSet");
    child<QLineEdit>("parameterField")->setText(QStringLiteral("0x1F4"));
    boxes.answers = {MessageAnswer::Cancel, MessageAnswer::Ok};
    click("sendCommandButton");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "This will overwrite eeprom data! Shure?");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(boxes.shown[0].buttons, MessageButtons::OkCancel);
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);

    click("sendCommandButton");
    EXPECT_EQ(boxes.shown.size(), 2u);
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0xDF, 0x00, 0xF4, 0x01}));
}

TEST_F(KernelApiDlgTest, ANumberFieldWithoutAnIntegerShowsTheKeptNumberAgain) {
    auto* slot = child<QLineEdit>("slotNumberField");
    slot->setText(QStringLiteral("21"));
    click("slotButton");
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 1u);
    frames.clear();

    for (const char* bad : {"abc", "", "1.5", "99999999999"}) {
        slot->setText(QString::fromLatin1(bad));
        click("slotButton");
        EXPECT_EQ(slot->text(), QStringLiteral("21")) << bad;
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << bad;
    }
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(shell.log.empty());
}

TEST_F(KernelApiDlgTest, ACommandGoesOutWhileADebugNumberFieldHoldsNoInteger) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    choose("Reset");  // before the text: a choice puts the kept numbers back into their fields
    auto* timer = child<QLineEdit>("timerNumberField");
    timer->setText(QStringLiteral("abc"));
    auto* send = child<QPushButton>("sendCommandButton");
    QTest::mouseClick(dlg->windowHandle(), Qt::LeftButton, {},
                      send->mapTo(dlg.get(), send->rect().center()));
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 0x0080u);
    EXPECT_EQ(frames[0].data, (Bytes{0xFF, 0x00}));
    EXPECT_EQ(timer->text(), QStringLiteral("0"));  // the kept number is back
}

TEST_F(KernelApiDlgTest, ClosingHidesTheWindowWhileItsRequestCompletes) {
    const struct {
        const char* how;
        std::function<void()> close;
    } ways[] = {
        {"Close button", [&] { click("closeButton"); }},
        {"Escape", [&] { QTest::keyClick(dlg.get(), Qt::Key_Escape); }},
        {"close box", [&] { dlg->close(); }},
    };
    int marks = 0;
    uint16_t value = 0x0100;
    for (const auto& w : ways) {
        dlg->show();
        ASSERT_TRUE(dlg->isVisible()) << w.how;
        shell.log.clear();
        AnswerWith({static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
        choose("BootNumber");
        click("sendCommandButton");
        w.close();
        EXPECT_FALSE(dlg->isVisible()) << w.how;
        EXPECT_EQ(KernelWindowState, kKernelWindowNotOpen) << w.how;
        EXPECT_EQ(shell.markOpenCalls, ++marks) << w.how;

        ASSERT_TRUE(RunToEnd()) << w.how;  // the timer goes on while hidden
        EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"}) << w.how;

        dlg->show();  // the last row, parameter and the new result are still there
        EXPECT_EQ(child<QComboBox>("commandList")->currentText(), QStringLiteral("BootNumber"));
        EXPECT_EQ(text("returnCodeDecimalField"), QString::number(value)) << w.how;
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << w.how;
        dlg->hide();
        value = static_cast<uint16_t>(value + 0x0101);
    }
}

TEST_F(KernelApiDlgTest, TheArrowKeysStepOverTheSeparatorRows) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    auto* list = child<QComboBox>("commandList");
    list->setFocus();
    std::vector<int> reached;
    for (std::size_t i = 0; i < KernelCommandTable.size(); ++i) {
        test::KeyThroughWindow(list, Qt::Key_Down);
        reached.push_back(list->currentIndex());
    }
    EXPECT_EQ(reached.front(), FindKernelCommand("Reset"));
    EXPECT_EQ(reached.back(), FindKernelCommand("Null"));
    for (int row : reached) {
        ASSERT_GE(row, 0);
        EXPECT_FALSE(KernelCommandTable[static_cast<std::size_t>(row)].separator) << row;
    }
    for (std::size_t i = 0; i < KernelCommandTable.size(); ++i) {
        test::KeyThroughWindow(list, Qt::Key_Up);
        EXPECT_FALSE(KernelCommandTable[static_cast<std::size_t>(list->currentIndex())].separator);
    }
    EXPECT_EQ(list->currentIndex(), FindKernelCommand("Reset"));
}

TEST_F(KernelApiDlgTest, AnOutOfRangeParameterTypedInIsRefusedAndClearsTheReturnCode) {
    dlg->show();
    choose("ErrorModNum");
    test::TypeThroughWindow(child<QLineEdit>("parameterField"), QStringLiteral("5"));
    test::ClickThroughWindow(child<QPushButton>("sendCommandButton"));
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(text("returnCodeDecimalField"), QStringLiteral("4660"));
    frames.clear();
    shell.log.clear();
    test::TypeThroughWindow(child<QLineEdit>("parameterField"), QStringLiteral("70000"));
    test::ClickThroughWindow(child<QPushButton>("sendCommandButton"));
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(shell.log, std::vector<std::string>{
                             "E> Parameter 70000 out of range: ErrorModNum takes 0 to 255"});
    EXPECT_EQ(text("returnCodeDecimalField"), QString());
    EXPECT_EQ(text("returnCodeHexField"), QString());
    EXPECT_EQ(text("parameterField"), QStringLiteral("70000"));
}

TEST_F(KernelApiDlgTest, EnterInTheListOrTheParameterSendsTheCommand) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    auto* list = child<QComboBox>("commandList");
    auto* parameter = child<QLineEdit>("parameterField");
    const struct {
        QWidget* focus;
        Qt::Key key;
    } cases[] = {{list, Qt::Key_Return}, {parameter, Qt::Key_Return}, {parameter, Qt::Key_Enter}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.focus->objectName().toStdString());
        frames.clear();
        choose("ErrorModNum");
        parameter->setText(QStringLiteral("9"));
        c.focus->setFocus();
        test::KeyThroughWindow(dlg.get(), c.key);
        ASSERT_TRUE(RunToEnd());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, (Bytes{0xDB, 0x09}));
    }
    // Enter in a debug field presses nothing.
    frames.clear();
    child<QLineEdit>("slotNumberField")->setFocus();
    test::KeyThroughWindow(dlg.get(), Qt::Key_Return);
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiDlgTest, TabFollowsTheLayout) {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    child<QComboBox>("commandList")->setFocus();
    QStringList seen{dlg->focusWidget()->objectName()};
    for (int i = 0; i < 22; ++i) {
        test::KeyThroughWindow(dlg.get(), Qt::Key_Tab);
        seen << dlg->focusWidget()->objectName();
    }
    const QStringList expected = {
        "commandList",      "parameterField",    "sendCommandButton",  "returnCodeDecimalField",
        "returnCodeHexField", "tunnelOnButton",  "tunnelOffButton",    "hardwareButton",
        "hardwareField",    "norvixButton",      "norvixField",        "applicationButton",
        "applicationField", "slotNumberField",   "slotButton",         "slotResultField",
        "timerNumberField", "timerButton",       "timerResultField",   "bytesButton",
        "bytesResultField", "testCommunicationButton", "closeButton"};
    EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace nvx

#endif  // NVX_KERNEL_API_GUI
