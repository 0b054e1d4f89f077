// The small install disc that the boot service targets (BSDP, TFTP) answer
// from, made by the image writer at start-up.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <string>

#include "BootSource.h"
#include "DeviceBinding.h"
#include "FuzzSupport.h"
#include "HFSImageWriter.h"

bool FuzzPrepareInstallDisc() {
    static bool prepared = [] {
        HFSImageSpec disc;
        disc.sectorSize = 512;
        disc.mapReservedBlocks = 4;
        HFSImageVolume& volume = disc.AddVolume("Orvane Install");
        volume.blockSize = 512;
        volume.extentsNodeSize = 512;
        volume.spareBlocks = 0;
        volume.MakeFolders("System/Installation");
        volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi", 3000);
        volume.AddPatternFile(kHFSImageRootID, "mach_kernel", 70000);
        volume.AddPatternFile(volume.MakeFolders("System/Library"), "Extensions.mkext", 600);
        volume.AddFile(volume.MakeFolders("System/Library/CoreServices"), "SystemVersion.plist",
                       "<plist version=\"1.0\"/>\n");
        std::string path = "/dev/shm/tamsor-fuzz-install-" + std::to_string(getpid()) + ".img";
        std::string error;
        QxStatus status = WriteDiscImage(disc, path, nullptr, &error);
        if (status == kStatusOK) status = DeviceBindImage("\\\\.\\CdRom0", path.c_str(), 512);
        if (status == kStatusOK) status = PrepareBootSource("pfs:\\\\.\\CdRom0#2", false);
        if (status != kStatusOK) {
            std::fprintf(stderr, "fuzz: install disc: %d %s\n", static_cast<int>(status),
                         error.c_str());
        }
        // Devices are opened afresh for each transfer: the file stays until exit.
        static std::string kept = path;
        std::atexit([] { unlink(kept.c_str()); });
        return status == kStatusOK;
    }();
    return prepared;
}
