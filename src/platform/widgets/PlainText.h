#pragma once

#include <QString>

// A tooltip for text from outside (a model's name, a folder's path): Qt shows a
// tooltip that looks like markup as rich text, so such a text is escaped into a
// paragraph that shows it literally; any other text is kept as it is.
QString plainToolTip(const QString& text);

// Text from outside as a menu entry or a button shows it: a QMenu reads "&" as the
// mark of a keyboard mnemonic and a tab as the start of the shortcut column.
QString plainMenuText(QString text);
