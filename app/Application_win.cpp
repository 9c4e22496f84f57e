#include "app/Application.h"

#include <QSessionManager>
#include <QWidget>

// A window program has no console and no signals: `taskkill` without /F
// sends the window WM_CLOSE, which closes it as the operator would already.
// Only the session's end needs telling: Qt asks the program to commit its
// data before Windows ends it.
void CloseOnTermination(QWidget* window)
{
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, window,
                     [window](QSessionManager& /*manager*/) { window->close(); });
}
