#include "bios/Unit20.h"

TForm20* Form20 = nullptr;

TForm20::TForm20(QWidget* parent) : QWidget(parent)
{
}

void TForm20::FormCreate()
{
}
