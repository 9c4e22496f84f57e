#include "network/Unit5.h"

TForm5* Form5 = nullptr;

TForm5::TForm5(QWidget* parent) : QWidget(parent)
{
}

void TForm5::FormCreate()
{
}
