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
    ResetUpdateState();
    ResetProgramTermination();
    Form1 = new TForm1;
    RunReported([] { Form1->FormCreate(); });
    Form2 = new TForm2;
    RunReported([] { Form2->FormCreate(); });
    Form20 = new TForm20;
    RunReported([] { Form20->FormCreate(); });
    Form5 = new TForm5;
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
    ResetProgramTermination();
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
