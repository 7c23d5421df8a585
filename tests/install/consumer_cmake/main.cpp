// Built through find_package(qxfldr_comm): starts the library, takes a block
// through the environment it hands out and a lock of the runtime, and stops
// the library again. Prints one line and exits 0 when all of that holds.
#include <qxfldr_comm.h>

#include <cstdio>
#include <cstring>

int main()
{
    fldr_init();
    fldr_env *env = fldr_get_env();
    if (env == nullptr || env->state != -1) {
        std::fprintf(stderr, "fldr_get_env gave no fresh environment\n");
        return 1;
    }
    void *block = fldr_mem_alloc(env, nullptr, 64, "consumer", __LINE__);
    if (block == nullptr) {
        std::fprintf(stderr, "fldr_mem_alloc failed\n");
        return 1;
    }
    std::memset(block, 0x5a, 64);
    os_mutex2_t lock;
    os_mutex2_create(&lock);
    os_cs_enter(&lock.cs);
    os_cs_leave(&lock.cs);
    os_mutex2_free(&lock);
    fldr_mem_free(env, nullptr, block);
    fldr_deinit();
    std::printf("consumer_cmake: qxfldr_comm %s started and stopped\n", fldr_get_version());
    return 0;
}
