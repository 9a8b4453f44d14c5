#pragma once
// File-chooser filters: "Input Wave file(*.wav)|*.wav|" pairs of a text and
// patterns (separated by ';') become Qt name filters such as
// "Input Wave file(*.wav)".

#include <QStringList>
#include <string_view>

namespace tessaro::ui {

QStringList ChooserNameFilters(std::string_view filter);

}  // namespace tessaro::ui
