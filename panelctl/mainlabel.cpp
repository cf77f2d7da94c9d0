#include "mainlabel.h"

MainLabel::MainLabel(QWidget *parent) : QLabel(parent) {}
