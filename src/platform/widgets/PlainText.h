#pragma once

#include <QString>

// A tooltip for text from outside (a model's name, a folder's path): Qt shows a
// tooltip that looks like markup as rich text, so such a text is escaped into a
// paragraph that shows it literally; any other text is kept as it is.
QString plainToolTip(const QString& text);
