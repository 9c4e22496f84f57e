// The updater's entry: creates the four windows in their order and runs the
// message loop until the main window is closed.
#include "app/Application.h"
#include "app/Unit1.h"
#include "app/Unit20.h"
#include "app/Unit5.h"
#include "app/Unit2.h"

#include <QIcon>

namespace {

// The installed desktop entry (without ".desktop"), so that desktops group the
// window under it; the icon is built in, for desktops that ask the window.
constexpr const char* DesktopName = "orvenda-updater";
constexpr const char* BuiltInIcon = ":/icons/orvenda-updater.svg";

// A window's creation runs its FormCreate; an error there is reported and the
// window lives on with what it had reached, as after any other handler.
template <typename Form>
void CreateForm(Form*& reference)
{
    reference = new Form;
    RunReported([&] { reference->FormCreate(); });
}

} // namespace

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(DesktopName);
    QGuiApplication::setWindowIcon(QIcon(BuiltInIcon));
    CreateForm(Form1);
    CreateForm(Form2);
    CreateForm(Form20);
    CreateForm(Form5);
    if (ProgramTerminating())
        return 0;
    Form1->show();
    const int result = application.exec();
    delete Form5;
    delete Form20;
    delete Form2;
    delete Form1;
    return result;
}
