#pragma once
// The main dialog's controls, one row each, in tab order: kind, id, caption
// and rectangle in dialog units, as the window is built from them.

#include <span>

namespace tessaro::ui {

enum class ControlKind { GroupBox, Button, Edit, Label, ProgressBar, Log };

// Appearance of an edit field.
enum class EditStyle { Editable, ReadOnlyBordered, ReadOnlyBorderless };

struct DialogUnitRect {
    int x, y, width, height;
};

struct ControlRow {
    ControlKind kind;
    int id;  // 0 for the two labels, which have none
    const char* caption;
    DialogUnitRect rect;
    EditStyle style;
    const char* accessibleName;  // for screen readers and UI automation
    bool defaultButton;
};

// The dialog's size in dialog units.
inline constexpr int DialogWidthUnits = 383;
inline constexpr int DialogHeightUnits = 332;

std::span<const ControlRow> MainDialogControls();

// The About box: its size, and its three controls.
inline constexpr int AboutWidthUnits = 235;
inline constexpr int AboutHeightUnits = 78;
inline constexpr DialogUnitRect AboutIconRect = {11, 17, 20, 20};
inline constexpr DialogUnitRect AboutTextRect = {40, 22, 119, 8};
inline constexpr DialogUnitRect AboutOkRect = {178, 7, 50, 16};
inline constexpr int AboutOkId = 1;

}  // namespace tessaro::ui
