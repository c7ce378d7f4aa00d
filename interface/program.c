/* The demosaic program. All of it, its command line included, is in libdemosaic
 * (interface/main.cpp); this file is only its entry point. */
int demosaic_program_main(int argc, char **argv);

int main(int argc, char **argv) { return demosaic_program_main(argc, argv); }
