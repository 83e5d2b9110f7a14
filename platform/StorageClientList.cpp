// The field tables of the access list's message types.
#include "platform/StorageClientList.h"

namespace OxEntities {

ClientEntity::ClientEntity() : CNMessageBase(1, 0, {{1, 1, 305124270, 11732214, "name"}}) {}

}  // namespace OxEntities

namespace MediaManager {

StorageToClientMap::StorageToClientMap()
    : CNMessageBase(
          1, 0, {{2, 2, 182920187, 3433509, "mountPath"}, {3, 6, 182920187, 4949512, "clients"}}) {}

StorageClientList::StorageClientList(int version, int messageType)
    : CNMessageBase(version, messageType, {{1, 1, 183499716, 11551355, "storages"}}) {}

}  // namespace MediaManager
