// BMP files through the display bitmap.
#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

float** read_bmp_image(const char* path, int* nrows, int* ncols, int* color) {
    CFile file;
    if (!path || !file.Open(path, CFile::modeRead)) {
        AfxMessageBox("read_bmp_image: Can't open file");
        return nullptr;
    }
    CDib dib;
    if (!dib.Read(&file)) return nullptr;  // Read has shown its message
    float** data = dib.MakeFloatImage(nrows, ncols, color);
    if (!data) AfxMessageBox("read_bmp_image: Unsupported bitmap");
    return data;
}

int write_bmp_image(float** data, const char* path, int nrows, int ncols, int color) {
    if (!data || nrows <= 0 || ncols <= 0 || (color != 0 && color != 1)) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    CDib* dib;
    {
        CImage image(nrows, ncols, color, data, 3, 4);
        if (!image.data) return 0;  // the allocator has shown its message
        dib = new CDib(&image, 0, 0.0f, 0.0f);
    }
    int ok = 0;
    CFile file;
    if (!dib->bits) {
        AfxMessageBox("write_bmp_image: No image to write");
    } else if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) {
        AfxMessageBox("write_bmp_image: Can't create file");
    } else if (!dib->Write(&file)) {
        AfxMessageBox("write_bmp_image: Can't write file");
    } else {
        ok = 1;
    }
    delete dib;
    return ok;
}
