#pragma once

#include <QIcon>
#include <QString>

class QApplication;

/** The application's id: desktop entry, icon and AppStream component name. */
QString applicationId();

/** The application icon in all its sizes, from the built-in resources. */
QIcon applicationIcon();

/**
 * Names the application (which also places its settings store) and links it
 * to its desktop entry. Needs no application object; call before AppSettings
 * is first used.
 */
void nameApplication();

/** Names the application and sets the window icon. Call before the first window. */
void setUpApplication(QApplication &app);
