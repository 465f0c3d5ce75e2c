#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::consume(const QByteArray&) {}
}  // namespace sonvale
