/*
 * tessor-c-host: the smallest host of the control. It creates a control
 * through the factory, activates it on this thread (the host thread),
 * prints its version and its four properties, runs the host loop briefly
 * and destroys it again. With a server and a port on the command line it
 * also connects and disconnects:
 *
 *   tessor-c-host [SERVER PORT]
 */
#include <stdio.h>
#include <stdlib.h>

#include <tessor/tessor.h>

static int Check(tessor_status st, const char* what) {
  if (st != TESSOR_OK) fprintf(stderr, "%s: %s\n", what, tessor_status_text(st));
  return st == TESSOR_OK;
}

static void OnEvent(void* user, int dispid, const char* name, const tessor_value* args, size_t nargs) {
  size_t i;
  (void)user;
  printf("event %s (%d)", name, dispid);
  for (i = 0; i < nargs; ++i) {
    if (args[i].type == TESSOR_TEXT)
      printf(" \"%s\"", args[i].text != NULL ? args[i].text : "");
    else
      printf(" %d", (int)args[i].i);
  }
  printf("\n");
}

static void PrintProperty(tessor_control* ctl, const char* name) {
  tessor_value v;
  if (!Check(tessor_get_property(ctl, name, &v), name)) return;
  if (v.type == TESSOR_TEXT)
    printf("%s = \"%s\"\n", name, v.text != NULL ? v.text : "");
  else
    printf("%s = %d\n", name, (int)v.i);
}

int main(int argc, char** argv) {
  tessor_control* ctl = NULL;
  tessor_value result;
  int cookie = 0;
  int ok = 1;

  printf("library %s\n", tessor_version());
  if (!Check(tessor_create(TESSOR_PROGID_CONTROL, &ctl), "create")) return 1;
  ok = Check(tessor_activate(ctl), "activate") && ok;
  ok = Check(tessor_connect_events(ctl, OnEvent, NULL, &cookie), "connect events") && ok;

  if (Check(tessor_invoke(ctl, "GetVersion", NULL, 0, &result), "GetVersion"))
    printf("GetVersion -> \"%s\"\n", result.text);
  else
    ok = 0;
  PrintProperty(ctl, "CallID");
  PrintProperty(ctl, "AStatus");
  PrintProperty(ctl, "RType");
  PrintProperty(ctl, "OcxVersion");

  if (argc == 3) {
    tessor_value args[2];
    args[0].type = TESSOR_TEXT;
    args[0].i = 0;
    args[0].text = argv[1];
    args[1].type = TESSOR_I4;
    args[1].i = (int16_t)atoi(argv[2]); /* the port's low 16 bits, as an I2 */
    args[1].text = NULL;
    if (Check(tessor_invoke(ctl, "ConnectToORV", args, 2, &result), "ConnectToORV"))
      printf("ConnectToORV -> %d\n", (int)result.i);
    tessor_loop_run_for(200);
    if (Check(tessor_invoke(ctl, "DisconnectFromORV", NULL, 0, &result), "DisconnectFromORV"))
      printf("DisconnectFromORV -> %s\n", result.i ? "TRUE" : "FALSE");
  }

  ok = Check(tessor_loop_run_for(10), "loop") && ok;
  ok = Check(tessor_destroy(ctl), "destroy") && ok;
  return ok ? 0 : 1;
}
