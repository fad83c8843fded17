/* A host program of its own: takes one photo with the first "Hikrobot" camera and prints what
 * the camera reported. Build it against an installed toolkit, either way:
 *
 *   cc grab_photo.c $(pkg-config --cflags --libs quellshot) -o grab_photo
 *   cmake -S . -B build -DCMAKE_PREFIX_PATH=/where/it/is/installed && cmake --build build
 *
 * Usage: grab_photo PATH [TIMEOUT_SECONDS]   (PATH gets ".jpg" unless it has it)
 */
#include <quellshot.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    HKImgMark mark;
    int timeout = 30;
    int result;
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s PATH [TIMEOUT_SECONDS]\n", argv[0]);
        return 2;
    }
    if (argc == 3) timeout = atoi(argv[2]);
    printf("cameras: %d\n", HK_GetCameraCount());
    result = Quellshot_Grab(IMG_TYPE_JPG, argv[1], timeout, &mark);
    if (result != 0) {
        fprintf(stderr, "capture failed: result %d\n", result);
        return 1;
    }
    printf("model: %s\nserial: %s\nexposure: %.2f us\n", mark.camModelName, mark.camSerialNum,
           (double)mark.imgExposureTime);
    return 0;
}
