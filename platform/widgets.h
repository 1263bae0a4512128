// The two control kinds Qt has no widget for: a round indicator lamp and a
// two-position slide switch. Both are plain widgets the panel file names.
#pragma once

#include <QAbstractButton>
#include <QWidget>

namespace cvi {

// A display-only lamp: a filled circle, bright green when on, dark when off.
class Led : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool on READ isOn WRITE setOn)
public:
    explicit Led(QWidget* parent = nullptr);
    bool isOn() const { return on_; }
    void setOn(bool on);
    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool on_ = false;
};

// A two-position switch: unchecked is the left position, checked the right.
// A click anywhere on it moves the lever to the other side.
class Switch : public QAbstractButton {
    Q_OBJECT
public:
    explicit Switch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {40, 12}; }

protected:
    void paintEvent(QPaintEvent*) override;
};

}  // namespace cvi
