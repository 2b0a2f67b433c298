/* Imports the C ABI as the Clang module "TessellaC", as Swift does. */
#pragma clang module import TessellaC

int main(void) {
  char text[64];
  uint8_t cid[TESSELLA_CID_LEN];
  tessella_cid_blake3(NULL, 0, cid);
  return tessella_rights_format(3u, text, sizeof text) == 0 || cid[0] == 0;
}
