#include "app/start_up.hpp"

#include "app/UnMain.hpp"
#include "app/UnResumo.hpp"
#include "app/update/UnAtualizarSistema.hpp"

namespace kqz::app {

Janelas::Janelas() = default;
Janelas::Janelas(Janelas&&) noexcept = default;

Janelas::~Janelas() {
    // The secondary windows refer to the main window: they go first.
    FmResumo.reset();
    FmAtualizarSistema.reset();
    FmMain.reset();
}

Janelas CriarJanelas(AppContext& context) {
    Janelas janelas;
    janelas.FmMain = std::make_unique<TFmMain>(context);
    janelas.FmAtualizarSistema = std::make_unique<TFmAtualizarSistema>(context, *janelas.FmMain);
    janelas.FmResumo = std::make_unique<TFmResumo>(context, *janelas.FmMain);
    janelas.FmMain->Ligar(janelas.FmAtualizarSistema.get(), janelas.FmResumo.get());
    return janelas;
}

}  // namespace kqz::app
