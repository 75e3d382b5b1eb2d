/* A program that does nothing: tests copy it and stamp version resources onto the copies. */
int main(void) { return 0; }
