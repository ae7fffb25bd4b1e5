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

// The page location for a decoded CONNECT/URL value. A value without a scheme (or an absolute
// path with a drive letter) that names an existing file becomes that file's URL text, since a
// plain path cannot be meant otherwise. Any other value is returned as it is; one without a
// scheme is then reported in a warning naming it, as it will most likely show a blank page.
QString pageFromSetting(const QString &value);

#endif // PAGELOCATION_H
