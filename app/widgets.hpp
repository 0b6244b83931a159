#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QWidget>

#include "summary/progress.hpp"

class QLabel;
class QProgressBar;

namespace kqz::app {

class UiServices;

// Light blue of the header gradient.
inline const QColor kAzulClaro{0x50, 0xA2, 0xEF};

// A rectangle filled with the header's horizontal gradient: white up to 0.758 of
// the width, blending into light blue at 0.981 and beyond.
class GradientRect : public QWidget {
    Q_OBJECT
  public:
    explicit GradientRect(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// A drop shadow as the layouts describe it: distance and direction (degrees,
// clockwise from the x axis, y pointing down), softness 0..1 and opacity 0..1.
void AplicarSombra(QWidget* widget, double distance, double directionDegrees, double softness,
                   double opacity);

// The blue 18 px bold title with its drop shadow, centred in a band `top`..`top`+17
// of `width`. The label reaches 4 px beyond the band on each side so that
// accented capitals ("VERSÃO") are not cut off.
QLabel* Titulo(QWidget* parent, const char* name, const QString& text, int top, int width);

// Font of the given pixel size, optionally bold.
QFont Fonte(const QWidget* base, int pixelSize, bool bold = false);

// The progress panel `Panel_Aviso`: 373 x 88, a gradient rectangle with the
// message line `Label_Aviso` at its top and `ProgressBar1` docked at its bottom.
// Its owner keeps it centred over the area it covers. Its drop shadow is a
// sibling drawn beneath it, not a graphics effect: a widget under an effect
// does not repaint its children (the bar would never fill).
class PainelAviso : public QWidget {
    Q_OBJECT
  public:
    explicit PainelAviso(QWidget* parent);

    // Centres the panel over `area` (in the parent's coordinates).
    void Centralizar(const QRect& area);

    QLabel* Label_Aviso;
    QProgressBar* ProgressBar1;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    QWidget* sombra_;
};

// Reports a long loop on a PainelAviso. What the loop sets reaches the panel,
// and window events run, on Pump() at most every 30 ms, so that repainting
// does not slow a long loop down; Mostrar() does it at once.
class ProgressoNoPainel final : public ProgressSink {
  public:
    ProgressoNoPainel(PainelAviso& painel, UiServices& ui) : painel_(painel), ui_(ui) {}
    void SetText(const std::string& text) override;
    void SetMax(double max) override;
    void SetValue(double value) override;
    void Pump() override;
    void Mostrar();

  private:
    PainelAviso& painel_;
    UiServices& ui_;
    QElapsedTimer relogio_;
    QString texto_;
    bool temTexto_ = false;
    int maximo_ = -1;
    int valor_ = -1;
};

}  // namespace kqz::app
