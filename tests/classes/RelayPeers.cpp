#include "RelayPeers.h"

#include "platform/UserDefaults.h"

void RelayPeers::storeRoutableSettings(UserDefaults& store) const {
    store.setInteger(orvane_.port(), "orvaneSendPort");
    store.setInteger(orvaneListen_, "orvaneListenPort");
    store.setValue("localhost", "device1Host");
    store.setInteger(device1_.port(), "device1SendPort");
    store.setInteger(device1Listen_, "device1ListenPort");
    store.setValue("127.0.0.1", "device2Host");
    store.setInteger(device2_.port(), "device2SendPort");
    store.setInteger(device2Listen_, "device2ListenPort");
}
