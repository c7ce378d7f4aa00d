/* Restores one privacy-masked video with libdemosaic, showing progress on standard error.
 *   cc restore.c $(pkg-config --cflags --libs demosaic) -o restore
 *   ./restore INPUT KEY [OUTPUT]          (exit status: the result code) */
#include <demosaic.h>
#include <stdio.h>

static void show_progress(void *opaque, int64_t done, int64_t total) {
    (void)opaque;
    fprintf(stderr, "\rrestored %lld of %lld pictures", (long long)done, (long long)total);
}

int main(int argc, char **argv) {
    demosaic_job *job = argc >= 3 ? demosaic_job_new(argv[1], argv[2]) : NULL;
    if (job == NULL) return fprintf(stderr, "usage: restore INPUT KEY [OUTPUT]\n"), 255;
    if (argc > 3 && demosaic_job_set(job, "output", argv[3]) != 0) return 255;
    demosaic_job_on_progress(job, show_progress, NULL);
    int code = demosaic_job_run(job); /* blocks until the job is done */
    fprintf(stderr, "\n");
    printf("code %d: %s\n", code, demosaic_job_message(job));
    if (code == 0) printf("restored: %s\n", demosaic_job_output(job));
    demosaic_job_free(job);
    return code;
}
