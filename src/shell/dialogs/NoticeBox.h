#pragma once
// Messages the program gives unasked while the user works, above all during a navigation (a
// calibration or a treatment log that could not be written): one box holds them all. A message
// that comes while the box is open joins its text, so that no second modal box stands over the
// first (which would take the input from it, and the views would need as many Ok clicks as
// boxes, the one below looking like the one closed).
#include <QString>

namespace NoticeBox {

// Shows the text in a box with Ok and returns once it is closed; while a box is open already,
// adds the text to it and returns at once.
void show(const QString& caption, const QString& text);

}
