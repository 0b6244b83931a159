#pragma once

#include <memory>

#include "app/app_context.hpp"

namespace kqz::app {

class TFmMain;
class TFmAtualizarSistema;
class TFmResumo;

// The three windows of the program, each created once, in this order, and
// alive until the end.
struct Janelas {
    std::unique_ptr<TFmMain> FmMain;
    std::unique_ptr<TFmAtualizarSistema> FmAtualizarSistema;
    std::unique_ptr<TFmResumo> FmResumo;

    Janelas();
    Janelas(Janelas&&) noexcept;
    ~Janelas();
};

// Creates the windows hidden: the main window first, then the update notice,
// then the summary window.
Janelas CriarJanelas(AppContext& context);

}  // namespace kqz::app
