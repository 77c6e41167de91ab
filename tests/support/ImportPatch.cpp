#include "tests/support/ImportPatch.h"

#include <cstring>

namespace {

void WriteSlot(void** slot, void* value)
{
    DWORD protection = 0;
    if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return;
    *slot = value;
    ::VirtualProtect(slot, sizeof *slot, protection, &protection);
}

// The slot of `functionName` in a table of names and the parallel table of
// addresses.
void** FindSlot(BYTE* base, DWORD namesRva, DWORD slotsRva, const char* functionName)
{
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + namesRva);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + slotsRva);
    for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0)
            return reinterpret_cast<void**>(&slots->u1.Function);
    }
    return nullptr;
}

// A delay-loaded function's slot holds the loader thunk until the first
// call; a replacement written there is called directly. GNU ld leaves the
// header's delay-import directory empty, so the descriptors are looked for
// in the image's sections: RVA-based, with the DLL's name.
void** FindDelayImportSlot(BYTE* base, const IMAGE_NT_HEADERS* nt, const char* dllName, const char* functionName)
{
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;
    const auto inImage = [imageSize](DWORD rva) { return rva != 0 && rva < imageSize; };
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const DWORD end = section->VirtualAddress + section->Misc.VirtualSize;
        for (DWORD rva = section->VirtualAddress; rva + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= end; rva += 4) {
            const auto* import = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + rva);
            if (import->Attributes.AllAttributes != 1 || !inImage(import->DllNameRVA) ||
                !inImage(import->ImportAddressTableRVA) || !inImage(import->ImportNameTableRVA))
                continue;
            if (_stricmp(reinterpret_cast<const char*>(base + import->DllNameRVA), dllName) != 0) continue;
            if (void** slot = FindSlot(base, import->ImportNameTableRVA, import->ImportAddressTableRVA, functionName))
                return slot;
        }
    }
    return nullptr;
}

void** FindImportSlot(const char* dllName, const char* functionName, bool* delayed)
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    *delayed = false;
    if (!directory.VirtualAddress) {
        *delayed = true;
        return FindDelayImportSlot(base, nt, dllName, functionName);
    }
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dllName) != 0) continue;
        if (!import->OriginalFirstThunk) continue;
        if (void** slot = FindSlot(base, import->OriginalFirstThunk, import->FirstThunk, functionName)) return slot;
    }
    *delayed = true;
    return FindDelayImportSlot(base, nt, dllName, functionName);
}

}  // namespace

ImportPatch::ImportPatch(const char* dllName, const char* functionName, const void* replacement)
{
    bool delayed = false;
    m_pSlot = FindImportSlot(dllName, functionName, &delayed);
    if (!m_pSlot) return;
    m_pOriginal = *m_pSlot;
    // A delay-loaded slot may still hold the loader thunk: a replacement
    // that calls on calls the function itself.
    m_pCallOn =
        delayed ? reinterpret_cast<void*>(::GetProcAddress(::LoadLibraryA(dllName), functionName)) : m_pOriginal;
    WriteSlot(m_pSlot, const_cast<void*>(replacement));
}

ImportPatch::~ImportPatch()
{
    if (m_pSlot) WriteSlot(m_pSlot, m_pOriginal);
}
