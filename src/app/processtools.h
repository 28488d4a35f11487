#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

// Starting the client after an update.
class ProcessTools
{
public:
    ProcessTools() = delete;

    // Starts "cv3client_runscript.sh" of the installation directory as a
    // detached process. Whether it started is neither checked nor reported.
    static void startCv3Client();
};

#endif
