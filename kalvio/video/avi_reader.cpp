// AVI movies read through the movie decoder module, loaded on first use.
#include "video/avi_reader_p.h"

#include "image/io_p.h"
#include "video/avi_module_p.h"

#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <new>
#include <string>

namespace kalvio::detail {

namespace {

struct LoadedModule {
    const KalvioAviModule* module = nullptr;
    std::string failure;  // why it could not be loaded
};

// The folder of the file this code was loaded from: the library's own.
std::string own_folder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || !info.dli_fname) return {};
    const std::string file = info.dli_fname;
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

// The module from the folder "kalvio" beside the library, else from the
// folder it is installed in. Loaded once and kept for the process's life.
const LoadedModule& loaded_module() {
    static LoadedModule loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string candidates[2] = {own_folder() + "/kalvio/" + kKalvioAviModuleFile,
                                     std::string(KALVIO_MODULE_DIR) + "/" + kKalvioAviModuleFile};
        for (const std::string& path : candidates) {
            void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                if (loaded.failure.empty()) {
                    const char* why = ::dlerror();
                    loaded.failure = why ? why : path;
                }
                continue;
            }
            using Entry = const KalvioAviModule* (*)();
            const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kKalvioAviModuleEntry));
            const KalvioAviModule* module = entry ? entry() : nullptr;
            if (module && module->version == kKalvioAviModuleVersion && module->open && module->read &&
                module->close) {
                loaded.module = module;
                loaded.failure.clear();
                return;
            }
            loaded.failure = path + " is not this version's movie decoder";
            ::dlclose(handle);
        }
    });
    return loaded;
}

}  // namespace

struct AviReader::State {
    FILE* file = nullptr;
    const KalvioAviModule* module = nullptr;
    KalvioAviDecoder* decoder = nullptr;

    ~State() {
        if (decoder) module->close(decoder);
        if (file) std::fclose(file);
    }
};

AviReader::AviReader(std::unique_ptr<State> state) : m_state(std::move(state)) {}
AviReader::~AviReader() = default;

std::unique_ptr<AviReader> AviReader::open(const std::string& path, Error* error) {
    *error = Error::Open;
    std::unique_ptr<State> s(new (std::nothrow) State);
    if (!s) return nullptr;
    s->file = open_for_reading(path.c_str());
    if (!s->file) return nullptr;
    const LoadedModule& loaded = loaded_module();
    if (!loaded.module) {
        *error = Error::NoModule;
        return nullptr;
    }
    s->module = loaded.module;
    int code = 1, width = 0, height = 0, frames = 0;
    s->decoder = s->module->open(::fileno(s->file), &code, &width, &height, &frames);
    if (!s->decoder) {
        *error = code == 2 ? Error::NoStream : code == 3 ? Error::NoDecoder : Error::Open;
        return nullptr;
    }
    std::unique_ptr<AviReader> reader(new (std::nothrow) AviReader(std::move(s)));
    if (!reader) return nullptr;
    reader->m_width = width;
    reader->m_height = height;
    reader->m_frames = frames;
    *error = Error::None;
    return reader;
}

bool AviReader::read(int index, std::uint8_t* bits, std::uint32_t row_bytes) {
    return m_state->module->read(m_state->decoder, index, bits, row_bytes) != 0;
}

std::string AviReader::module_failure() { return loaded_module().failure; }

}  // namespace kalvio::detail
