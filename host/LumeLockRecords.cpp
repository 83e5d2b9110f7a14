// Filling a lock response record.
#include "host/LumeLockRecords.h"

#include <cstdlib>
#include <cstring>

namespace {

// Copies before freeing, so a text that is the field's own copy survives.
void ReplaceText(char*& field, const char* text) {
    if (!text)
        return;
    char* copy = strdup(text);
    free(field);
    field = copy;
}

}  // namespace

void PopulateFileLockResponse(LumeLockResp* response, LumeStatus status, const char* filePath,
                              const char* exportPath, const char* message,
                              unsigned long long lockOwner) {
    response->status = status;
    response->lockOwner = lockOwner;
    ReplaceText(response->message, message);
    ReplaceText(response->exportPath, exportPath);
    ReplaceText(response->filePath, filePath);
}
