#include "app/widgets.hpp"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QProgressBar>
#include <cmath>
#include <numbers>

#include "app/ui_services.hpp"

namespace kqz::app {

GradientRect::GradientRect(QWidget* parent) : QWidget(parent) {}

void GradientRect::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, width(), 0);
    gradient.setColorAt(0.0, Qt::white);
    gradient.setColorAt(0.758, Qt::white);
    gradient.setColorAt(0.981, kAzulClaro);
    gradient.setColorAt(1.0, kAzulClaro);
    painter.fillRect(rect(), gradient);
}

void AplicarSombra(QWidget* widget, double distance, double directionDegrees, double softness,
                   double opacity) {
    auto* shadow = new QGraphicsDropShadowEffect(widget);
    const double radians = directionDegrees * std::numbers::pi / 180.0;
    shadow->setOffset(distance * std::cos(radians), distance * std::sin(radians));
    shadow->setBlurRadius(softness * 12.0);
    QColor color(Qt::black);
    color.setAlphaF(static_cast<float>(opacity));
    shadow->setColor(color);
    widget->setGraphicsEffect(shadow);
}

QLabel* Titulo(QWidget* parent, const char* name, const QString& text, int top, int width) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(0, top - 4, width, 17 + 8);
    label->setFont(Fonte(parent, 18, true));
    label->setStyleSheet(QStringLiteral("color: blue;"));
    label->setAlignment(Qt::AlignCenter);
    AplicarSombra(label, 3, 30, 0.5, 0.5);
    return label;
}

QFont Fonte(const QWidget* base, int pixelSize, bool bold) {
    QFont font = base->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

namespace {

// A soft dark rectangle: distance 8 at 45 degrees, softness 0.3, opacity 0.6.
class SombraDoPainel final : public QWidget {
  public:
    static constexpr int kBorda = 4;
    explicit SombraDoPainel(QWidget* parent) : QWidget(parent) {
        setObjectName("Panel_Aviso_Sombra");
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }
    void Acompanhar(const QWidget& painel) {
        const int d = static_cast<int>(std::lround(8.0 * std::cos(std::numbers::pi / 4)));
        setGeometry(painel.geometry().translated(d, d).adjusted(-kBorda, -kBorda, kBorda, kBorda));
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        // Layers from the blurred edge inwards; together they reach 0.6.
        for (int i = 0; i <= kBorda; ++i) {
            QColor color(Qt::black);
            color.setAlphaF(static_cast<float>(0.6 / (kBorda + 1)));
            painter.setBrush(color);
            painter.drawRoundedRect(QRectF(rect()).adjusted(i, i, -i, -i), kBorda - i + 1, kBorda - i + 1);
        }
    }
};

}  // namespace

PainelAviso::PainelAviso(QWidget* parent) : QWidget(parent), sombra_(new SombraDoPainel(parent)) {
    setObjectName("Panel_Aviso");
    resize(373, 88);

    auto* fundo = new GradientRect(this);
    fundo->setObjectName("Rectangle_Aviso");
    fundo->setGeometry(0, 0, 373, 88 - 12 - 10);

    Label_Aviso = new QLabel(fundo);
    Label_Aviso->setObjectName("Label_Aviso");
    Label_Aviso->setGeometry(5, 5, 373 - 10, 17);
    Label_Aviso->setFont(Fonte(this, 14));
    Label_Aviso->setAlignment(Qt::AlignCenter);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setGeometry(5, 88 - 5 - 12, 373 - 10, 12);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);

    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

void PainelAviso::Centralizar(const QRect& area) {
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void PainelAviso::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    static_cast<SombraDoPainel*>(sombra_)->Acompanhar(*this);
    sombra_->show();
    sombra_->raise();
    raise();
}

void PainelAviso::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    sombra_->hide();
}

void PainelAviso::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    static_cast<SombraDoPainel*>(sombra_)->Acompanhar(*this);
}

void ProgressoNoPainel::SetText(const std::string& text) {
    texto_ = QString::fromStdString(text);
    temTexto_ = true;
}

void ProgressoNoPainel::SetMax(double max) {
    maximo_ = static_cast<int>(std::lround(max));
}

void ProgressoNoPainel::SetValue(double value) {
    valor_ = static_cast<int>(std::lround(value));
}

void ProgressoNoPainel::Pump() {
    if (!relogio_.isValid() || relogio_.elapsed() >= 30) {
        Mostrar();
    }
}

void ProgressoNoPainel::Mostrar() {
    if (temTexto_ && painel_.Label_Aviso->text() != texto_) {
        painel_.Label_Aviso->setText(texto_);
    }
    if (maximo_ >= 0 && painel_.ProgressBar1->maximum() != maximo_) {
        painel_.ProgressBar1->setMaximum(maximo_);
    }
    if (valor_ >= 0 && painel_.ProgressBar1->value() != valor_) {
        painel_.ProgressBar1->setValue(valor_);
    }
    // Painted now: a window may only draw at the next frame, after the loop
    // has gone on.
    if (painel_.isVisible()) {
        painel_.repaint();
    }
    ui_.ProcessMessages();
    relogio_.start();
}

}  // namespace kqz::app
