#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <set>

#include "app/control_ids.h"
#include "app/messages.h"
#include "tests/ui/window_fixture.h"
#include "ui/chooser_filter.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_units.h"

namespace tessaro::testing {
namespace {

using ui::ControlKind;

// What kind of field a control is, as a user sees it: typed into, or showing
// results with or without a border.
enum class Field { None, Editable, ReadOnlyBordered, ReadOnlyBorderless };

// The main dialog as it is drawn: id (0 for the two labels), Qt class,
// caption, rectangle in dialog units, field kind and accessible name.
struct ExpectedControl {
    int id;
    const char* className;
    const char* caption;
    ui::DialogUnitRect rect;
    Field field;
    const char* accessibleName;
};

constexpr Field Bare = Field::ReadOnlyBorderless;
constexpr Field Boxed = Field::ReadOnlyBordered;
constexpr Field Typed = Field::Editable;
constexpr Field None = Field::None;

const ExpectedControl MainDialog[] = {
    {1002, "QGroupBox", " Configuration Info", {21, 15, 341, 70}, None, "Configuration Info"},
    {1006, "QPushButton", "&Load", {36, 30, 43, 14}, None, "Load"},
    {1017, "QLineEdit", "", {138, 24, 216, 14}, Bare, "File name"},
    {1018, "QLineEdit", "", {138, 37, 215, 14}, Bare, "Filter length"},
    {1019, "QLineEdit", "", {138, 51, 216, 14}, Bare, "Sampling rate"},
    {1020, "QLineEdit", "", {138, 67, 215, 14}, Bare, "Description"},
    {0, "QLabel", "Gain (dB):", {33, 63, 32, 8}, None, "Gain (dB):"},
    {1016, "QLineEdit", "", {69, 61, 30, 14}, Typed, "Gain (dB)"},
    {1003, "QGroupBox", " Audio Files ", {21, 92, 341, 57}, None, "Audio Files"},
    {1000, "QPushButton", "&Open", {36, 107, 43, 14}, None, "Open"},
    {1001, "QLineEdit", "", {95, 107, 259, 14}, Boxed, "Input file"},
    {1004, "QPushButton", "Save As...", {36, 127, 43, 14}, None, "Save As..."},
    {1005, "QLineEdit", "", {95, 127, 259, 14}, Boxed, "Output file"},
    {1007, "QGroupBox", " Processing ", {21, 154, 341, 156}, None, "Processing"},
    {1012, "QPushButton", "&Process", {36, 168, 43, 14}, None, "Process"},
    {1011, "QProgressBar", "", {95, 169, 259, 14}, None, "Progress"},
    {1022, "QPushButton", "&Abort", {36, 192, 43, 14}, None, "Abort"},
    {1023, "QLineEdit", "", {95, 187, 126, 14}, Bare, "Input RMS"},
    {1024, "QLineEdit", "", {95, 200, 132, 14}, Bare, "Input peak"},
    {1025, "QLineEdit", "", {227, 187, 127, 14}, Bare, "Output RMS"},
    {1026, "QLineEdit", "", {227, 200, 127, 14}, Bare, "Output peak"},
    {1027, "QLineEdit", "", {227, 213, 127, 14}, Bare, "Clipped"},
    {0, "QLabel", "Previous runs", {36, 216, 44, 8}, None, "Previous runs label"},
    {1028, "QPlainTextEdit", "", {35, 231, 320, 69}, Boxed, "Previous runs"},
    {1009, "QPushButton", "&Clear", {228, 315, 61, 14}, None, "Clear"},
    {1030, "QPushButton", "Exit", {304, 315, 59, 14}, None, "Exit"},
};

QString Caption(QWidget* widget) {
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    return {};
}

// The control a row names: by its id, or a label by its accessible name.
QWidget* FindControl(const WindowFixture& f, const ExpectedControl& row) {
    if (row.id != 0) return f.window->findChild<QWidget*>(QString::number(row.id));
    for (auto* label : f.window->findChildren<QLabel*>()) {
        if (label->accessibleName() == row.accessibleName) return label;
    }
    return nullptr;
}

void ExpectField(QWidget* widget, Field field) {
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        EXPECT_EQ(edit->isReadOnly(), field != Field::Editable);
        EXPECT_EQ(edit->hasFrame(), field != Field::ReadOnlyBorderless);
    } else if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) {
        EXPECT_EQ(field, Field::ReadOnlyBordered);
        EXPECT_TRUE(log->isReadOnly());
        EXPECT_NE(log->frameShape(), QFrame::NoFrame);
        EXPECT_NE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    } else {
        EXPECT_EQ(field, Field::None);
    }
}

// Every control of the dialog exists with its id, kind, caption, place in
// dialog units and accessible name, and no other; fields are read-only where
// they show results.
TEST(WindowLayout, EveryControlAsTheTableSays) {
    WindowFixture f;
    const ui::DialogUnits units(f.window->font());
    EXPECT_EQ(f.window->windowTitle(), "Tessaro");
    EXPECT_EQ(f.window->size(), units.Size(383, 332));
    EXPECT_EQ(f.window->minimumSize(), f.window->maximumSize());
    std::set<QWidget*> seen;
    for (const ExpectedControl& row : MainDialog) {
        SCOPED_TRACE(row.accessibleName);
        QWidget* widget = FindControl(f, row);
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(seen.insert(widget).second);
        EXPECT_STREQ(widget->metaObject()->className(), row.className);
        EXPECT_EQ(widget->accessibleName().toStdString(), row.accessibleName);
        EXPECT_EQ(Caption(widget).toStdString(), row.caption);
        const QRect place = units.Rect(row.rect);
        EXPECT_EQ(widget->pos(), place.topLeft());
        EXPECT_EQ(widget->height(), place.height());
        // A label may grow to fit its caption in a wider font.
        if (qobject_cast<QLabel*>(widget)) {
            EXPECT_GE(widget->width(), place.width());
        } else {
            EXPECT_EQ(widget->width(), place.width());
        }
        ExpectField(widget, row.field);
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            EXPECT_EQ(button->isDefault(), row.id == control::Open);
        }
    }
    int controls = 0;
    for (QWidget* child : f.window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isWindow()) ++controls;
    }
    EXPECT_EQ(controls, static_cast<int>(std::size(MainDialog)));
}

TEST(WindowLayout, ControlsEnabledAtStartUp) {
    WindowFixture f;
    struct Expected {
        int id;
        bool enabled;
    };
    for (const Expected& e : {Expected{control::Load, true},
                              {control::Open, true},
                              {control::SaveAs, false},
                              {control::Process, false},
                              {control::Abort, false},
                              {control::Clear, true},
                              {control::Gain, true},
                              {control::Exit, true}}) {
        SCOPED_TRACE(e.id);
        EXPECT_EQ(f.Enabled(e.id), e.enabled);
    }
    EXPECT_EQ(f.Text(control::Gain), "0");
    EXPECT_EQ(qobject_cast<QProgressBar*>(f.Control(control::Progress))->maximum(), 100);
}

TEST(WindowKeys, EscapeAndEnterDoNotClose) {
    WindowFixture f;
    QTest::keyClick(f.window.get(), Qt::Key_Escape);
    // Enter presses the default button, Open: its chooser comes up.
    f.ThenCancelChooser();
    QTest::keyClick(f.window.get(), Qt::Key_Return);
    EXPECT_TRUE(f.RunUntil([&] { return f.Seen().size() == 1; }, 5000));
    QApplication::processEvents();
    EXPECT_TRUE(f.window->isVisible());
    EXPECT_EQ(f.Seen()[0].className, "QFileDialog");
}

TEST(WindowMenu, AboutBoxFromF1AndTheContextMenu) {
    WindowFixture f;
    const QList<QAction*> actions = f.window->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text(), "&About Tessaro...");
    f.ThenCloseAbout();
    actions[1]->trigger();
    f.ThenCloseAbout();
    // The offscreen platform does not give the focus back after a modal box.
    f.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.window.get()));
    QTest::keyClick(f.window.get(), Qt::Key_F1);
    ASSERT_EQ(f.Seen().size(), 2u);
    for (const SeenModal& seen : f.Seen()) EXPECT_EQ(seen.title, "About Tessaro");
}

TEST(WindowChooser, FiltersFromThePipeForm) {
    const struct {
        const char* filter;
        QStringList expected;
    } cases[] = {
        {"Input Wave file(*.wav)|*.wav|", {"Input Wave file(*.wav)"}},
        {"MATLAB File(*.mat)|*.mat|", {"MATLAB File(*.mat)"}},
        {"Sound|*.wav;*.wave|All|*|", {"Sound (*.wav *.wave)", "All (*)"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        EXPECT_EQ(ui::ChooserNameFilters(c.filter), c.expected);
    }
}

// Choosers, Process, the live texts and the report, as a user drives them.
TEST(WindowRun, WholeRunFromTheButtons) {
    WindowFixture f;
    const auto config = f.WriteConfig("room.mat", 4096);
    const auto input = f.WriteInput("in.wav", 44100);
    f.ChooseAll(config, input, f.Path("out.wav"));
    EXPECT_EQ(f.lastChooserFilters, QStringList{"Output Wave File(*.wav)"});
    EXPECT_FALSE(f.lastChooserConfirmsOverwrite);
    EXPECT_EQ(f.lastChooserSuffix, "wav");
    EXPECT_EQ(f.Text(control::ConfigFileName), "File Name:     room.mat");
    EXPECT_EQ(f.Text(control::InputPath), QString::fromStdString(input));
    ASSERT_TRUE(f.Enabled(control::Process));

    for (int run = 1; run <= 2; ++run) {
        f.Click(control::Process);
        EXPECT_TRUE(f.Enabled(control::Abort));
        EXPECT_FALSE(f.Enabled(control::Open));
        ASSERT_TRUE(f.RunUntil([&] { return !f.window->Logic().Running(); }));
        QApplication::processEvents();
        EXPECT_EQ(f.Text(control::Log).count("Complete"), run);
    }
    const QString log = f.Text(control::Log);
    EXPECT_TRUE(log.startsWith("Input File:   in.wav\nSample Rate:   44100 Hz\n"))
        << log.toStdString();
    EXPECT_TRUE(log.endsWith("====================================\n\n"));
    EXPECT_TRUE(f.Text(control::Clipped).startsWith("Value Clipped: 0"));
    EXPECT_EQ(qobject_cast<QProgressBar*>(f.Control(control::Progress))->value(), 100);
    EXPECT_TRUE(f.Enabled(control::Process));
    EXPECT_FALSE(f.Enabled(control::Abort));
    const WavSizes sizes = ReadWavSizes(f.Path("out.wav"));
    EXPECT_EQ(sizes.data + 56, sizes.file);

    f.Click(control::Clear);
    EXPECT_TRUE(f.Text(control::Log).isEmpty());
    EXPECT_TRUE(qobject_cast<QPlainTextEdit*>(f.Control(control::Log))->isReadOnly());
    EXPECT_TRUE(f.Seen().size() == 3u);  // the three choosers, no message
}

TEST(WindowRun, ExitDuringRunAsksAbortsReportsAndCloses) {
    WindowFixture f;
    f.ChooseAll(f.WriteConfig("room.mat"), f.WriteInput("in.wav", 44100 * 120), f.Path("out.wav"));
    f.Click(control::Process);
    f.ThenPress(QMessageBox::Yes);
    f.Click(control::Exit);
    ASSERT_TRUE(f.RunUntil([&] { return f.window->isHidden(); }));
    const SeenModal asked = f.Seen().back();
    EXPECT_EQ(asked.title, "Tessaro");
    EXPECT_EQ(asked.text, message::ConfirmExit);
    EXPECT_EQ(asked.icon, QMessageBox::NoIcon);
    EXPECT_EQ(asked.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(f.Text(control::Log).contains("\nAborted\n"));
    EXPECT_FALSE(f.window->Logic().Running());
    const WavSizes sizes = ReadWavSizes(f.Path("out.wav"));
    EXPECT_EQ(sizes.riff + 8, sizes.file);
    EXPECT_EQ(sizes.data + 56, sizes.file);
    EXPECT_LT(sizes.data, 44100u * 120 * 4);
}

TEST(WindowRun, AbortAnsweredNoLeavesTheRunGoing) {
    WindowFixture f;
    f.ChooseAll(f.WriteConfig("room.mat", 4096), f.WriteInput("in.wav", 44100 * 20),
                f.Path("out.wav"));
    f.Click(control::Process);
    f.ThenPress(QMessageBox::No);
    f.Click(control::Abort);
    ASSERT_TRUE(f.RunUntil([&] { return !f.window->Logic().Running(); }));
    QApplication::processEvents();
    EXPECT_TRUE(f.Text(control::Log).contains("\nComplete\n"));
    EXPECT_EQ(f.Seen().back().text, message::ConfirmAbort);
}

// Quitting (the window going away) while a run goes: no hang, and the
// output is a finished WAV file.
TEST(WindowRun, QuittingDuringRunFinishesTheOutput) {
    WindowFixture f;
    f.ChooseAll(f.WriteConfig("room.mat"), f.WriteInput("in.wav", 44100 * 120), f.Path("out.wav"));
    f.Click(control::Process);
    ASSERT_TRUE(f.RunUntil(
        [&] { return qobject_cast<QProgressBar*>(f.Control(control::Progress))->value() > 0; }));
    f.window.reset();
    const WavSizes sizes = ReadWavSizes(f.Path("out.wav"));
    EXPECT_EQ(sizes.riff + 8, sizes.file);
    EXPECT_EQ(sizes.data + 56, sizes.file);
    EXPECT_GT(sizes.data, 0u);
}

// A worker's message box is modal to the window and waits for its answer.
TEST(WindowRun, WorkerMessageBoxWaitsForTheUser) {
    WindowFixture f;
    const auto config = f.WriteConfig("room.mat", 16);
    const auto input = f.folder.File("in.wav");
    ASSERT_TRUE(WriteFileBytes(input, Stereo16WavImage(22050, std::vector<int16_t>(64, 1))));
    f.ChooseAll(config, input, f.Path("out.wav"));
    f.ThenPress(QMessageBox::Ok);
    f.Click(control::Process);
    ASSERT_TRUE(f.RunUntil([&] { return !f.window->Logic().Running(); }));
    ASSERT_FALSE(f.Seen().empty());
    EXPECT_EQ(f.Seen().back().text, message::RateMismatch);
    EXPECT_EQ(f.Seen().back().icon, QMessageBox::Critical);
    EXPECT_TRUE(f.Text(control::Log).isEmpty());
}

// The ways a user presses a button without the mouse: none of them takes
// the focus from the gain field first.
enum class Press { Mnemonic, Accessibility, EnterOnButton };

void PressButton(WindowFixture& f, int id, Press how) {
    auto* button = qobject_cast<QPushButton*>(f.Control(id));
    switch (how) {
        case Press::Mnemonic:
            QTest::keyClick(f.Control(control::Gain), Qt::Key_P, Qt::AltModifier);
            break;
        case Press::Accessibility:
            QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
            break;
        case Press::EnterOnButton:
            button->setFocus();
            QTest::keyClick(button, Qt::Key_Return);
            break;
    }
}

void TypeGain(WindowFixture& f, const char* text) {
    auto* gain = qobject_cast<QLineEdit*>(f.Control(control::Gain));
    // The choosers have had the focus; keys go to the active window only.
    f.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.window.get()));
    gain->setFocus();
    gain->selectAll();
    QTest::keyClicks(gain, text);
}

class WindowGain : public ::testing::TestWithParam<Press> {};

// A typed gain is the gain of this run and of the next one, whatever way
// Process was pressed, a plain mouse click on the next run included.
TEST_P(WindowGain, TypedGainIsTheGainOfTheRun) {
    WindowFixture f;
    f.ChooseAll(f.WriteConfig("room.mat", 16), f.WriteInput("in.wav", 4410), f.Path("out.wav"));
    TypeGain(f, "-6");
    // Mnemonics and accessibility presses click after a short animation.
    const auto runsEnded = [&](int runs) {
        return f.RunUntil([&] {
            return f.Text(control::Log).count("Complete") == runs && !f.window->Logic().Running();
        });
    };
    PressButton(f, control::Process, GetParam());
    ASSERT_TRUE(runsEnded(1));
    EXPECT_EQ(f.Text(control::Log).count("Gain Setting:   -6.00 dB"), 1)
        << f.Text(control::Log).toStdString();
    QTest::mouseClick(f.Control(control::Process), Qt::LeftButton);
    ASSERT_TRUE(runsEnded(2));
    EXPECT_EQ(f.Text(control::Log).count("Gain Setting:   -6.00 dB"), 2);
}

// Text that is no number starts no run and is told once. (Moving the focus
// to the button tells it already, as the field loses the focus.)
class WindowGainInvalid : public WindowGain {};

TEST_P(WindowGainInvalid, InvalidGainStartsNoRun) {
    WindowFixture f;
    f.ChooseAll(f.WriteConfig("room.mat", 16), f.WriteInput("in.wav", 4410), f.Path("out.wav"));
    TypeGain(f, "abc");
    const std::size_t before = f.Seen().size();
    f.ThenPress(QMessageBox::Ok);
    f.ThenPress(QMessageBox::Ok);  // a second box would be answered, and counted
    PressButton(f, control::Process, GetParam());
    f.RunUntil([] { return false; }, 300);
    ASSERT_EQ(f.Seen().size(), before + 1);
    EXPECT_EQ(f.Seen().back().text, message::EnterANumber);
    EXPECT_FALSE(f.window->Logic().Running());
    EXPECT_TRUE(f.Text(control::Log).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Presses, WindowGain,
                         ::testing::Values(Press::Mnemonic, Press::Accessibility,
                                           Press::EnterOnButton));
INSTANTIATE_TEST_SUITE_P(Presses, WindowGainInvalid,
                         ::testing::Values(Press::Mnemonic, Press::Accessibility));

TEST(WindowGainExit, ExitWithInvalidGainShowsOneBox) {
    WindowFixture f;
    TypeGain(f, "abc");
    f.ThenPress(QMessageBox::Ok);
    f.ThenPress(QMessageBox::Ok);
    PressButton(f, control::Exit, Press::Accessibility);
    f.RunUntil([] { return false; }, 300);
    ASSERT_EQ(f.Seen().size(), 1u);
    EXPECT_EQ(f.Seen().back().text, message::EnterANumber);
    EXPECT_TRUE(f.window->isVisible());
}

}  // namespace
}  // namespace tessaro::testing
