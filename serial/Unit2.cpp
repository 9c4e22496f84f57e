#include "serial/Unit2.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("RS232 Configuration"));
}

void TForm2::FormCreate()
{
}
