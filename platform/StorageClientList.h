// The storage-to-client access list of this machine: for each storage mount
// path, the clients that may use it. Serialised form:
//   {"storages": [{"mountPath": "/data",
//                  "clients": [{"name": "host1"}, {"name": "host2"}]}]}
// Field addresses (tag, kind, class id, field id):
//   StorageClientList.storages   1, 1, 183499716, 11551355  list of StorageToClientMap
//   StorageToClientMap.mountPath 2, 2, 182920187, 3433509   string
//   StorageToClientMap.clients   3, 6, 182920187, 4949512   list of ClientEntity
//   ClientEntity.name            1, 1, 305124270, 11732214  string
#pragma once

#include "platform/CNMessageBase.h"

namespace OxEntities {

class ClientEntity : public CNMessageBase {
  public:
    ClientEntity();
};

}  // namespace OxEntities

namespace MediaManager {

class StorageToClientMap : public CNMessageBase {
  public:
    StorageToClientMap();
};

class StorageClientList : public CNMessageBase {
  public:
    // The message's version and type numbers are 10 and 189.
    StorageClientList(int version = 10, int messageType = 189);
};

}  // namespace MediaManager
