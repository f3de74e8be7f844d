#pragma once

#include <QLabel>

class QMouseEvent;

namespace orvale::launcher {

// A label that reports presses of the left mouse button as clicked(). The
// press is consumed: it starts no text selection and does not reach the
// widgets below.
class ClickableLabel : public QLabel
{
  Q_OBJECT
public:
  explicit ClickableLabel(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());

signals:
  void clicked();

protected:
  void mousePressEvent(QMouseEvent* event) override;
};

} // namespace orvale::launcher
