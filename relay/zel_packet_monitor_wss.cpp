// placeholder until the configuration front lands
int main() { return 0; }
