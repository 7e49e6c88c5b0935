// Stand-in for libhwy.so.1 under Valgrind (memcheck and callgrind) only. Debian's libavcodec loads
// libjxl, which loads libhwy, whose load-time timer set-up executes rdtscp;
// Valgrind refuses that instruction on CPUs whose CPUID does not announce
// it (as on virtual machines here) and kills the process. A stream copy
// never decodes JPEG XL, so nothing ever calls into this library.
#include <cstddef>
#include <cstdlib>

namespace hwy {

class ChosenTarget;

struct AlignedDeleter {
  static void DeleteAlignedArray(void*, void (*)(void*, void*), void*,
                                 void (*)(void*, std::size_t));
};

void AlignedDeleter::DeleteAlignedArray(void*, void (*)(void*, void*), void*,
                                        void (*)(void*, std::size_t)) {
  std::abort();
}
ChosenTarget& GetChosenTarget() { std::abort(); }
void FreeAlignedBytes(const void*, void (*)(void*, void*), void*) { std::abort(); }
long SupportedTargets() { std::abort(); }
void* AllocateAlignedBytes(std::size_t, void* (*)(void*, std::size_t), void*) { std::abort(); }

}  // namespace hwy
