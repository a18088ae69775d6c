/* Loads the OpenSSL configuration file named on its command line through the
 * shipped libcrypto, as a program that asks for one does. The OpenSSL check
 * runs it on its planted configuration first, to show that the planted
 * module is loaded once a configuration is read: a launcher that reads none
 * then shows nothing. Exits 0 when OpenSSL accepted the file. */
#include <openssl/crypto.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: config_loader FILE.cnf\n");
        return 2;
    }
    OPENSSL_INIT_SETTINGS *settings = OPENSSL_INIT_new();
    if (settings == NULL)
        return 1;
    OPENSSL_INIT_set_config_filename(settings, argv[1]);
    int ok = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, settings);
    OPENSSL_INIT_free(settings);
    return ok ? 0 : 1;
}
