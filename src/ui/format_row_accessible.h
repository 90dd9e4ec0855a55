#pragma once

namespace vexal::ui {

// Makes every FormatRow a check box for assistive technology: role, checkable and
// checked state, Toggle and Show/Hide options actions; its drawn parts are not objects
// of their own. Installs once.
void installFormatRowAccessibility();

}  // namespace vexal::ui
