// Disks kept in an image container rather than as raw bytes: EnCase evidence
// files (E01, split into .E01, .E02, ... segments), Hyper-V's VHD and VHDX,
// VMware's VMDK and QEMU's QCOW2. Each is read through the library made for
// it (libewf, libvhdi, libvmdk, libqcow); the virtual disk it holds becomes a
// read-only volume source that answers exactly as the raw image would.
// A build without a library still recognises the format, to say so.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"
#include "volume/source.h"

namespace rv {

enum class ImageFormat { Raw, Ewf, Vhd, Vhdx, Vmdk, Qcow2 };

// What the user is shown: "raw", "E01", "VHD", "VHDX", "VMDK", "QCOW2".
const char* ImageFormatName(ImageFormat format);
// The library that reads the format ("" for raw).
const char* ImageFormatLibrary(ImageFormat format);
// Whether this build reads the format (raw always).
bool ImageFormatBuiltIn(ImageFormat format);

// The container format a file's content shows by its signature; Raw for
// anything else (a raw image, a device, a file that cannot be read).
ImageFormat DetectImageFormat(TextView path);

// Recognises a container signature in the first bytes of a file (at least
// 512 of them when the file is that long) and, for a fixed VHD whose only
// signature is its footer, the file's last 512 bytes (empty when unknown).
ImageFormat ImageFormatFromSignature(const uint8_t* head, size_t headLength, const uint8_t* tail, size_t tailLength,
                                     uint64_t fileSize);

// Opens the virtual disk held in the container at `path`, read-only. On
// failure returns null and sets `error` to a one-line reason (a format this
// build cannot read, a damaged or incomplete container, a missing segment).
std::shared_ptr<VolumeSource> OpenContainerDisk(TextView path, ImageFormat format, std::string& error);

// The bytes of a container's disk from `offset` for `length` (0 = to the
// end), as a volume whose sector size comes from its boot sector like an
// image file's; null when `disk` is no container disk or the offset lies
// past its end.
std::shared_ptr<VolumeSource> ContainerSlice(const VolumeSource& disk, uint64_t offset, uint64_t length);

// The format a source was read in: Raw for every source but a container's.
ImageFormat SourceImageFormat(const VolumeSource& source);

}  // namespace rv
