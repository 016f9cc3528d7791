// The module images are resources of the type "HEX" inside the program.
#include "update/UpdateImages.h"

#include "common/Common.h"
#include "shell/resources/resource.h"

struct ImageResource {
  DWORD resourceId;
  LPCWSTR foundTrace;
};

static const ImageResource Images[] = {
    {IDR_BOOT1, TEXT("get resource IDR_BOOT1 succeed!!!!\r\n")},
    {IDR_BOOT2, TEXT("get resource IDR_BOOT2 succeed!!!!\r\n")},
    {IDR_FILE_SIZE, TEXT("get resource IDR_FILE_SIZE succeed!!!!\r\n")},
    {IDR_FW, TEXT("get resource IDR_FW succeed!!!!\r\n")},
};

const BYTE* LoadUpdateImage(DWORD kind) {
  if (kind < IMAGE_BOOT1 || kind > IMAGE_FIRMWARE) return NULL;
  const ImageResource* image = &Images[kind - IMAGE_BOOT1];

  HRSRC found = FindResourceW(AppInstance, MAKEINTRESOURCE(image->resourceId), TEXT("HEX"));
  NKDbgPrintfW(image->foundTrace);
  if (found == NULL) return NULL;
  HGLOBAL loaded = LoadResource(AppInstance, found);
  if (loaded == NULL) return NULL;

  // On this platform a loaded resource is the address of its bytes.
  const BYTE* bytes = (const BYTE*)loaded;
  NKDbgPrintfW(TEXT("Yes, we lock resources!!!!\r\n"));
  return bytes;
}

LPCWSTR MissingUpdateImage(void) {
  static const struct {
    DWORD resourceId;
    LPCWSTR missing;
  } Sent[] = {
      {IDR_BOOT1, TEXT("The program holds no boot stage 1 image")},
      {IDR_BOOT2, TEXT("The program holds no boot stage 2 image")},
      {IDR_FW, TEXT("The program holds no firmware image")},
  };
  for (const auto& image : Sent) {
    if (FindResourceW(AppInstance, MAKEINTRESOURCE(image.resourceId), TEXT("HEX")) == NULL) return image.missing;
  }
  return NULL;
}
