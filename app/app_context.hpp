#pragma once

#include <QDateTime>
#include <functional>
#include <string>

namespace kqz::app {

class UiServices;

// What the windows get from start-up: the desktop services, the clock and the
// application server's address.
struct AppContext {
    explicit AppContext(UiServices& services) : ui(services) {}

    UiServices& ui;
    std::function<QDateTime()> agora = [] { return QDateTime::currentDateTime(); };
    std::string servidor;  // e.g. "http://localhost:8080"
};

}  // namespace kqz::app
