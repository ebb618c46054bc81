#pragma once

#include <QHostAddress>

// Loopback addresses for test servers, random so that parallel tests do not collide on the
// instruments' fixed ports.
namespace TestAddresses {
QHostAddress randomLoopback();
}
