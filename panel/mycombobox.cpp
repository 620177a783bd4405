#include "panel/mycombobox.h"

#include <QEvent>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QStyleOptionComboBox>
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
    // A press on the field goes to the list itself, which opens its popup.
    le->setAttribute(Qt::WA_TransparentForMouseEvents);
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

void MyComboBox::mousePressEvent(QMouseEvent* e) {
    // An editable list opens only from its arrow: a press anywhere on it is passed on as
    // a press on the arrow, so that the popup also takes the release that follows.
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    const QRect arrow = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxArrow, this);
    const QPointF at = arrow.center();
    QMouseEvent onArrow(e->type(), at, mapToGlobal(arrow.center()), e->button(), e->buttons(), e->modifiers());
    QComboBox::mousePressEvent(&onArrow);
    e->setAccepted(onArrow.isAccepted());
}
