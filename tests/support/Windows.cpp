#include "tests/support/Windows.h"

#include <QDir>

#include "app/Application.h"
#include "app/Unit1.h"
#include "app/Unit20.h"
#include "app/Unit5.h"
#include "app/Unit2.h"

Windows::Windows() : previousFolder_(QDir::currentPath())
{
    QDir::setCurrent(folder_.path());
}

void Windows::Create()
{
    Form1 = new TForm1;
    Form2 = new TForm2;
    Form20 = new TForm20;
    Form5 = new TForm5;
    Form1->ConnectWindows();
    RunReported([] { Form1->FormCreate(); });
    RunReported([] { Form2->FormCreate(); });
    RunReported([] { Form20->FormCreate(); });
    RunReported([] { Form5->FormCreate(); });
    created_ = true;
}

Windows::~Windows()
{
    if (created_) {
        delete Form5;
        Form5 = nullptr;
        delete Form20;
        Form20 = nullptr;
        delete Form2;
        Form2 = nullptr;
        delete Form1;
        Form1 = nullptr;
    }
    QDir::setCurrent(previousFolder_);
}

std::string Windows::Folder() const
{
    return folder_.path().toStdString();
}

std::string Windows::PathOf(const std::string& name) const
{
    return Folder() + "/" + name;
}
