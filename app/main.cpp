// The updater's entry: creates the four windows, connects them, runs their
// FormCreate in their order and runs the message loop until the main window
// is closed.
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

// A window's FormCreate: an error there is reported and the window lives on
// with what it had reached, as after any other handler.
template <typename Form>
void RunFormCreate(Form* form)
{
    RunReported([form] { form->FormCreate(); });
}

} // namespace

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(DesktopName);
    QGuiApplication::setWindowIcon(QIcon(BuiltInIcon));
    Form1 = new TForm1;
    Form2 = new TForm2;
    Form20 = new TForm20;
    Form5 = new TForm5;
    Form1->ConnectWindows();
    RunFormCreate(Form1);
    RunFormCreate(Form2);
    RunFormCreate(Form20);
    RunFormCreate(Form5);
    if (Form1->Terminating())
        return 0;
    Form1->show();
    CloseOnTermination(Form1);
    const int result = application.exec();
    delete Form5;
    delete Form20;
    delete Form2;
    delete Form1;
    return result;
}
