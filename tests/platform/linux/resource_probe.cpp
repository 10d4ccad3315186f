// A program that does nothing: built with various resource sets for the resource tests.
int main() {
  return 0;
}
