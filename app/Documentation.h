#pragma once

// What "Quorvel Website" opens: the product's web site when the build names
// one, else the ringer's documentation, README.html, installed beside the
// program (<bindir>/../share/doc/quorvel16/, also where the build tree makes
// it).

#include <QString>

// The web site the build names; empty when there is none.
QString ProductWebsite();
// The folder README.html is looked for in.
QString DocumentationFolder();
// README.html, or empty when it is not there.
QString ReadmeHtml();

// Tests choose both; an empty string restores the program's own. Each
// returns the previous choice.
QString SetProductWebsite(const QString& Site);
QString SetDocumentationFolder(const QString& Folder);
