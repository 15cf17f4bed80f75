// The settings file parser on any text: whatever it keeps, it writes back as a file that reads
// again whole and unchanged.
#include <string>

#include "fuzz/memory_file.h"
#include "platform/key_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file("settings");
    static MemoryFile written("settings-written");
    file.Fill(data, size);

    std::string exported;
    {
        CKeyStore store(file.Path());
        exported = store.ExportText();
        // Reading values of whatever key the input names must hold up too.
        if (auto key = store.OpenKey("Software\\Tovamesh\\Cindral\\Settings")) {
            QueryDword(*key, "Save Flag");
            QueryQword(*key, "Save Flag");
            QueryText(*key, "Folder");
            key->QueryValue("");
        }
    }

    written.Fill(reinterpret_cast<const uint8_t*>(exported.data()), exported.size());
    CKeyStore again(written.Path());
    FUZZ_CHECK(!again.IsDamaged());
    FUZZ_CHECK(again.ExportText() == exported);
    return 0;
}
