#include "app/reference_month.hpp"

namespace kqz::app {

// QDate::addMonths keeps the day and clamps it to the end of a shorter month.
QDate MesAnterior(QDate today) {
    return today.addMonths(-1);
}

}  // namespace kqz::app
