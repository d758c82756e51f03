// The profile record exports: plain memory handling, no service involved.

#include "halvara.h"

#include <cstdlib>
#include <cstring>

namespace {

// Copies at most width - 1 characters and pads with NUL up to that count; the
// field's last byte is never written, so it keeps ending the text.
int SetField(char* field, std::size_t width, const char* text) {
    if (!text)
        return 0;
    std::strncpy(field, text, width - 1);
    return 1;
}

// Zeroing through a volatile pointer so the compiler keeps it before free().
void Wipe(void* bytes, std::size_t length) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(bytes);
    for (std::size_t i = 0; i < length; ++i)
        p[i] = 0;
}

} // namespace

extern "C" {

PersonalInfo* PersonalInfo_Create(void) {
    return static_cast<PersonalInfo*>(std::calloc(1, sizeof(PersonalInfo)));
}

void PersonalInfo_Destroy(PersonalInfo* info) {
    if (!info)
        return;
    Wipe(info, sizeof *info);
    std::free(info);
}

char* PersonalInfo_GetName(PersonalInfo* info) {
    return info ? info->name : nullptr;
}

char* PersonalInfo_GetEMail(PersonalInfo* info) {
    return info ? info->eMail : nullptr;
}

char* PersonalInfo_GetPassword(PersonalInfo* info) {
    return info ? info->password : nullptr;
}

int PersonalInfo_SetName(PersonalInfo* info, const char* name) {
    return info ? SetField(info->name, sizeof info->name, name) : 0;
}

int PersonalInfo_SetEMail(PersonalInfo* info, const char* eMail) {
    return info ? SetField(info->eMail, sizeof info->eMail, eMail) : 0;
}

int PersonalInfo_SetPassword(PersonalInfo* info, const char* password) {
    return info ? SetField(info->password, sizeof info->password, password) : 0;
}

int PersonalInfo_Copy(const PersonalInfo* source, PersonalInfo* destination) {
    if (!source || !destination)
        return 0;
    if (source != destination)
        std::memcpy(destination, source, sizeof *destination);
    return 1;
}

} // extern "C"
