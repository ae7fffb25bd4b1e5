#ifndef QTCOMPAT_H
#define QTCOMPAT_H

// The few calls that differ between Qt 5.15 and Qt 6, each behind one name, so that the code
// calling them reads the same with either.

#include <QGuiApplication>
#include <QMouseEvent>
#include <QSettings>
#include <QWebEngineProfile>
#include <QtGlobal>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>

// Qt 6 always scales the window for the screen; Qt 5 only when asked, before the application
// object exists.
inline void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
}

// Qt 6 reads and writes INI files as UTF-8 by itself; Qt 5 takes the locale's codec unless told.
inline void useUtf8(QSettings &settings)
{
    settings.setIniCodec(QTextCodec::codecForName("utf-8"));
}

inline QWebEngineProfile *pageProfile()
{
    return QWebEngineProfile::defaultProfile();
}
#else
// Qt 5 rounds the scale factor to a whole number (a 150% screen shows at 200%); Qt 6 would use
// it as it is. Rounding keeps the window as it was; QT_SCALE_FACTOR_ROUNDING_POLICY overrides.
inline void enableHighDpiScaling()
{
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::Round);
}
inline void useUtf8(QSettings &) {}

// Qt 6's default profile is off the record: what a page stores (local storage, cookies, its
// cache) would be gone at every start. This profile keeps it on disk where Qt 5's default
// profile does, so it lasts as long as with Qt 5 and is found again by either build.
inline QWebEngineProfile *pageProfile()
{
    static QWebEngineProfile *const profile = new QWebEngineProfile(QStringLiteral("Default"),
                                                                    QCoreApplication::instance());
    return profile;
}
#endif

// Whether a mouse event comes from a pointer rather than from touch input turned into one. Qt 6
// keeps source() for this only for compatibility (its own spelling asks the device instead).
inline bool isFromPointer(const QMouseEvent &event)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return event.source() == Qt::MouseEventNotSynthesized;
    QT_WARNING_POP
}

#endif // QTCOMPAT_H
