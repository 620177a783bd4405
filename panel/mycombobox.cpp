#include "panel/mycombobox.h"

#include <QEvent>
#include <QLineEdit>
#include <QListView>
#include <QWheelEvent>
#include <cmath>

MyComboBox::MyComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    QLineEdit* le = lineEdit();
    le->setObjectName(QStringLiteral("lintEditAdptive"));
    le->setReadOnly(true);
    le->setAlignment(Qt::AlignCenter);
    le->setFocusPolicy(Qt::NoFocus);
    le->setStyleSheet(QStringLiteral("background-color:transparent;border:none;"));
    le->installEventFilter(this);
    setView(new QListView(this));
}

void MyComboBox::applyScale(double adjScale) {
    const int h = int(std::lround(30 * adjScale));
    view()->setMinimumWidth(int(std::lround(350 * adjScale)));
    setStyleSheet(QStringLiteral("QComboBox QAbstractItemView::item{min-height:%1px;}"
                                 "QComboBox::drop-down{width:%2px;}")
                      .arg(h)
                      .arg(int(std::lround(30 * adjScale))));
}

void MyComboBox::wheelEvent(QWheelEvent* e) { e->ignore(); }

// The field has its own style sheet, which stops the list's font from reaching it.
void MyComboBox::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange) {
        lineEdit()->setFont(font());
        view()->setFont(font());
    }
    QComboBox::changeEvent(e);
}

bool MyComboBox::eventFilter(QObject* o, QEvent* e) {
    if (o == lineEdit() && e->type() == QEvent::MouseButtonPress && isEnabled()) {
        showPopup();
        return true;
    }
    return QComboBox::eventFilter(o, e);
}
