#pragma once

// Which field of the window shows which setting: one table, used to show the
// settings, to follow the operator's edits and to find a switch's check box.

#include "app/orvalla_form.h"
#include "console/settings.h"

class QObject;

namespace orvalla
{

// Shows the settings in their fields. The switches' boxes only when asked:
// the load changes them one by one, as clicks, so that their actions run.
void showSettings(const OrvallaForm &ui, const Settings &settings, bool withSwitches);

// From now on every change of a field (typed, or set by an action) is copied
// into settings at once, before any other handler of that change runs: the
// settings are then the one place the tick, publishing, mail and workbook
// read. context owns the connections.
void followSettingsFields(const OrvallaForm &ui, Settings &settings, QObject *context);

// The check box of a switch.
QCheckBox *switchBox(const OrvallaForm &ui, SettingsSwitch which);

// The lines of a memo setting; an empty memo has none.
QStringList fieldLines(const QStringList &lines);

} // namespace orvalla
