#include "ui/dialog_layout.h"

#include "app/control_ids.h"

namespace tessaro::ui {
namespace {

using K = ControlKind;
using S = EditStyle;
namespace c = control;

constexpr S Plain = S::Editable;
constexpr S Boxed = S::ReadOnlyBordered;
constexpr S Bare = S::ReadOnlyBorderless;

constexpr ControlRow Rows[] = {
    {K::GroupBox,
     c::ConfigGroup,
     " Configuration Info",
     {21, 15, 341, 70},
     Plain,
     "Configuration Info",
     false},
    {K::Button, c::Load, "&Load", {36, 30, 43, 14}, Plain, "Load", false},
    {K::Edit, c::ConfigFileName, "", {138, 24, 216, 14}, Bare, "File name", false},
    {K::Edit, c::ConfigLength, "", {138, 37, 215, 14}, Bare, "Filter length", false},
    {K::Edit, c::ConfigRate, "", {138, 51, 216, 14}, Bare, "Sampling rate", false},
    {K::Edit, c::ConfigDescription, "", {138, 67, 215, 14}, Bare, "Description", false},
    {K::Label, 0, "Gain (dB):", {33, 63, 32, 8}, Plain, "Gain (dB):", false},
    {K::Edit, c::Gain, "", {69, 61, 30, 14}, Plain, "Gain (dB)", false},
    {K::GroupBox, c::FilesGroup, " Audio Files ", {21, 92, 341, 57}, Plain, "Audio Files", false},
    {K::Button, c::Open, "&Open", {36, 107, 43, 14}, Plain, "Open", true},
    {K::Edit, c::InputPath, "", {95, 107, 259, 14}, Boxed, "Input file", false},
    {K::Button, c::SaveAs, "Save As...", {36, 127, 43, 14}, Plain, "Save As...", false},
    {K::Edit, c::OutputPath, "", {95, 127, 259, 14}, Boxed, "Output file", false},
    {K::GroupBox,
     c::ProcessingGroup,
     " Processing ",
     {21, 154, 341, 156},
     Plain,
     "Processing",
     false},
    {K::Button, c::Process, "&Process", {36, 168, 43, 14}, Plain, "Process", false},
    {K::ProgressBar, c::Progress, "", {95, 169, 259, 14}, Plain, "Progress", false},
    {K::Button, c::Abort, "&Abort", {36, 192, 43, 14}, Plain, "Abort", false},
    {K::Edit, c::InputRms, "", {95, 187, 126, 14}, Bare, "Input RMS", false},
    {K::Edit, c::InputPeak, "", {95, 200, 132, 14}, Bare, "Input peak", false},
    {K::Edit, c::OutputRms, "", {227, 187, 127, 14}, Bare, "Output RMS", false},
    {K::Edit, c::OutputPeak, "", {227, 200, 127, 14}, Bare, "Output peak", false},
    {K::Edit, c::Clipped, "", {227, 213, 127, 14}, Bare, "Clipped", false},
    {K::Label, 0, "Previous runs", {36, 216, 44, 8}, Plain, "Previous runs label", false},
    {K::Log, c::Log, "", {35, 231, 320, 69}, Boxed, "Previous runs", false},
    {K::Button, c::Clear, "&Clear", {228, 315, 61, 14}, Plain, "Clear", false},
    {K::Button, c::Exit, "Exit", {304, 315, 59, 14}, Plain, "Exit", false},
};

}  // namespace

std::span<const ControlRow> MainDialogControls() { return Rows; }

}  // namespace tessaro::ui
