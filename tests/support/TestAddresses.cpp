#include "TestAddresses.h"

#include <QRandomGenerator>

namespace TestAddresses {

QHostAddress randomLoopback()
{
    QRandomGenerator *random = QRandomGenerator::global();
    const quint32 address = (127u << 24) | (random->bounded(1u, 255u) << 16)
                            | (random->bounded(0u, 256u) << 8) | random->bounded(2u, 255u);
    return QHostAddress(address);
}

} // namespace TestAddresses
