#include "failurenotice.h"

#include "pagebridge.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QWebEngineSettings>
#include <QWebEngineView>

FailureNotice::FailureNotice(QWebEngineView *view, const PageBridge *bridge)
    : QLabel(view)
{
    // The URL and whatever else is shown are text, never markup.
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    setMargin(40);
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral("background: #222; color: #ddd; font-size: 24pt"));
    hide();
    view->installEventFilter(this);
    view->page()->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    connect(bridge, &PageBridge::loadRetryScheduled, this, &FailureNotice::loadFailed);
    connect(view->page(), &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (ok)
            hide();
    });
}

void FailureNotice::loadFailed(const QUrl &url, int delayMs)
{
    const auto text = [](const char *source) {
        return QCoreApplication::translate("MainWindow", source);
    };
    setText(text("Pelorin cannot show the page") + QLatin1String("\n\n")
            + text("%1 could not be loaded.").arg(url.toString(QUrl::FullyEncoded).left(2000))
            + QLatin1String("\n\n")
            + text("Next try at %1.")
                      .arg(QDateTime::currentDateTime().addMSecs(delayMs).toString(
                              QStringLiteral("HH:mm:ss"))));
    setGeometry(parentWidget()->rect());
    show();
    raise();
}

bool FailureNotice::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QLabel::eventFilter(watched, event);
}
