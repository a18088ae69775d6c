#pragma once

#include <QString>

// Checks a published download tree (publisher --check): the manifest reads,
// every listed archive exists and decompresses to the hash text (and size,
// when given) its entry names, and every listed patch exists and carries a
// header that leads from the source to the result its name gives (with the
// file's size as result size when it ends at the current content). Archives
// are checked on `jobs` threads. Prints each fault on stderr and a summary on
// stdout; returns the exit status, 0 when the tree has no fault.
int check_tree(const QString &dir, int jobs);
