#include "app/Application.h"
#include "app/ContentView.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    setUpApplication(app);
    ContentView::openWindow();
    return app.exec();
}
