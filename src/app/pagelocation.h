#ifndef PAGELOCATION_H
#define PAGELOCATION_H

#include <QString>

// The text of the page written into an empty assets folder: 129 ASCII characters, and the
// writer adds one line feed.
extern const char defaultPageText[];

// Finds the local page below appDir: makes sure appDir/assets exists, writes the default
// index.html there when the folder holds no page file, and returns the file URL text of the
// first regular, non-hidden, non-link "index.*" file in case-insensitive name order. The text
// parses back (tolerant mode included) to the same file whatever blanks, '#', '?' or '%' the
// path holds. When no page can be had it logs one warning naming the path and the reason and
// returns an empty text; an existing index.html that the listing does not show is never
// written over.
QString locatePage(const QString &appDir);

#endif // PAGELOCATION_H
