#pragma once

#include <QColor>
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
// Its owner keeps it centred over the area it covers.
class PainelAviso : public QWidget {
    Q_OBJECT
  public:
    explicit PainelAviso(QWidget* parent);

    // Centres the panel over `area` (in the parent's coordinates).
    void Centralizar(const QRect& area);

    QLabel* Label_Aviso;
    QProgressBar* ProgressBar1;
};

// Reports a long loop on a PainelAviso and lets window events run on Pump().
class ProgressoNoPainel final : public ProgressSink {
  public:
    ProgressoNoPainel(PainelAviso& painel, UiServices& ui) : painel_(painel), ui_(ui) {}
    void SetText(const std::string& text) override;
    void SetMax(double max) override;
    void SetValue(double value) override;
    void Pump() override;

  private:
    PainelAviso& painel_;
    UiServices& ui_;
};

}  // namespace kqz::app
