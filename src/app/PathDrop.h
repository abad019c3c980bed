// Path edits that take a file or folder dropped on them from a file manager.
#pragma once

#include <functional>

class QLineEdit;

// From now on a local file or folder dropped on edit replaces the edit's whole text with its
// path (the first one when several are dropped), and then dropped() runs. Other drops (plain
// text, remote addresses) keep the edit's own behaviour. User-interface thread only.
void acceptPathDrops(QLineEdit* edit, std::function<void()> dropped = {});
