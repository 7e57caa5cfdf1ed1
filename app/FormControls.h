// Small builders for the windows' fixed controls: a named label sized to its text, a named button.
#pragma once
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace appui {

inline QLabel* label(QWidget* parent, const QString& name, const char* text, int x, int y) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->setObjectName(name);
    l->adjustSize();
    l->move(x, y);
    return l;
}

inline QPushButton* button(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(name);
    b->setGeometry(x, y, w, h);
    return b;
}

} // namespace appui
