#include "FirmwareProtocol.h"

#include "Connection.h"
#include "SimDevice.h"

namespace {

std::shared_ptr<SimDevice> reachable(Connection* connection) {
    if (!connection) return nullptr;
    SimLink link = connection->link();
    if (!link.device || !link.device->linkAlive(link)) return nullptr;
    return link.device;
}

}  // namespace

bool FirmwareProtocol::start(Connection* connection) {
    auto device = reachable(connection);
    return device && device->start(sim::sdCardFolder(device->name())) && device->running();
}

bool FirmwareProtocol::stop(Connection* connection) {
    auto device = reachable(connection);
    return device && device->stop();
}
