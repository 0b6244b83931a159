#pragma once

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kqz::cli {

// A subcommand adds itself to the application by defining one static
// Registration in its own file:
//
//   const Registration kSummary{"summary", [](CLI::App& app) { ... }};
//
// The setup function creates the subcommand on `app` and sets its callback.
using Setup = std::function<void(CLI::App&)>;

struct Registration {
    Registration(std::string name, Setup setup);
};

struct Entry {
    std::string name;
    Setup setup;
};

// All registered subcommands, sorted by name.
std::vector<Entry> Registered();

}  // namespace kqz::cli
