// A choice list that shows its value centred in a read-only field, ignores the wheel
// (a scroll over the window must not change the card's settings) and opens on a press.
#pragma once
#include <QComboBox>

class MyComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit MyComboBox(QWidget* parent = nullptr);
    // Popup and font sizes for the scale factor.
    void applyScale(double adjScale);

protected:
    void wheelEvent(QWheelEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
};
