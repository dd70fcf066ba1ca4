/*
 * Tessor C API: the agent-seat client for call recording, for hosts written
 * in C or any language with a C foreign-function interface.
 *
 * Threads. A control belongs to the thread that activates it (the host
 * thread): every method, property and event runs there. Call a control
 * from any other thread and the call is refused with TESSOR_E_WRONG_THREAD.
 * Results from the servers reach the host thread through its host loop,
 * which the host runs (tessor_loop_run_for) or embeds in its own loop
 * (tessor_loop_fd, tessor_loop_dispatch, tessor_loop_next_deadline_ms).
 *
 * Texts. Every text in and out of this API is UTF-8. The library converts
 * to and from code page 949; a character that code page lacks, and any
 * invalid UTF-8 sequence, becomes '?'.
 *
 * Errors. Every entry point answers a status code and never lets a C++
 * exception out.
 */
#ifndef TESSOR_TESSOR_H
#define TESSOR_TESSOR_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TESSOR_API __attribute__((visibility("default")))
#else
#define TESSOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TESSOR_PROGID_CONTROL "TESSOR.TessorCtrl.1"
#define TESSOR_PROGID_PROPPAGE "TESSOR.TessorPropPage.1"
#define TESSOR_VERSION_TEXT "1.0.0.28"

typedef enum tessor_status {
  TESSOR_OK = 0,
  TESSOR_E_INVALID_ARG = 1,     /* a null pointer or an invalid handle */
  TESSOR_E_WRONG_THREAD = 2,    /* not the control's host thread */
  TESSOR_E_UNKNOWN_NAME = 3,    /* no such method, property or DISPID */
  TESSOR_E_ARG_COUNT = 4,       /* wrong number of arguments */
  TESSOR_E_ARG_TYPE = 5,        /* an argument of the wrong type */
  TESSOR_E_OUT_OF_RANGE = 6,    /* an integer outside its 16-bit range */
  TESSOR_E_UNKNOWN_PROGID = 7,  /* the factory knows no such class */
  TESSOR_E_NOT_A_PROPERTY = 8,
  TESSOR_E_NOT_A_METHOD = 9,
  TESSOR_E_STATE = 10,          /* e.g. activating twice */
  TESSOR_E_INTERNAL = 11        /* out of memory or an unexpected failure */
} tessor_status;

typedef enum tessor_type {
  TESSOR_EMPTY = 0,     /* no value (a method without a result) */
  TESSOR_TEXT = 1,      /* text: UTF-8 in 'text'; a null 'text' is an absent text */
  TESSOR_I2 = 2,        /* signed 16-bit in 'i' */
  TESSOR_UI2 = 3,       /* unsigned 16-bit in 'i' */
  TESSOR_I4 = 4,        /* any integer in 'i'; checked against the parameter's range */
  TESSOR_BOOL = 5       /* 0 or 1 in 'i' */
} tessor_type;

typedef struct tessor_value {
  tessor_type type;
  int32_t i;
  const char* text;
} tessor_value;

typedef struct tessor_control tessor_control;

/* Event sink: called on the host thread, synchronously, as the event fires.
   args[] and their texts are valid during the call only. The sink may call
   any function of this API, tessor_invoke and tessor_destroy included. */
typedef void (*tessor_event_fn)(void* user, int dispid, const char* name, const tessor_value* args, size_t nargs);

/* Message-box presenter: called on the thread that shows the box (often a
   receive thread); blocks until the agent closes the box and answers the
   button (1 = OK). style holds the Windows MB_* bits. */
typedef int (*tessor_msgbox_fn)(void* user, const char* caption, const char* text, unsigned style);

TESSOR_API const char* tessor_version(void);
TESSOR_API const char* tessor_status_text(tessor_status status);

/* The factory: creates a control by its ProgID. No window, link or thread
   exists until tessor_activate. */
TESSOR_API tessor_status tessor_create(const char* progid, tessor_control** out);
/* Creates the control's window on the calling thread, which becomes its
   host thread. */
TESSOR_API tessor_status tessor_activate(tessor_control* ctl);
/* Destroys the control (its window, both links, their threads). From
   inside one of the control's own events the destruction completes as soon
   as the event handler has returned to the host loop. */
TESSOR_API tessor_status tessor_destroy(tessor_control* ctl);

/* Methods, in dispatch order. Text results stay valid until the next call
   on the same control. */
TESSOR_API tessor_status tessor_invoke(tessor_control* ctl, const char* name, const tessor_value* args, size_t nargs,
                                       tessor_value* result);
TESSOR_API tessor_status tessor_invoke_id(tessor_control* ctl, int dispid, const tessor_value* args, size_t nargs,
                                          tessor_value* result);
TESSOR_API tessor_status tessor_get_property(tessor_control* ctl, const char* name, tessor_value* value);
TESSOR_API tessor_status tessor_set_property(tessor_control* ctl, const char* name, const tessor_value* value);
TESSOR_API tessor_status tessor_get_property_id(tessor_control* ctl, int dispid, tessor_value* value);
TESSOR_API tessor_status tessor_set_property_id(tessor_control* ctl, int dispid, const tessor_value* value);

/* Event sinks: any number per control; *cookie identifies the connection. */
TESSOR_API tessor_status tessor_connect_events(tessor_control* ctl, tessor_event_fn fn, void* user, int* cookie);
TESSOR_API tessor_status tessor_disconnect_events(tessor_control* ctl, int cookie);

/* The process-wide message-box presenter; fn NULL restores the default,
   which writes the box to standard error and counts it closed with OK. */
TESSOR_API void tessor_set_msgbox_presenter(tessor_msgbox_fn fn, void* user);

/* Sends one of the control's window messages (for example WM_SET_CALLID,
   0x465) with wParam 0 and waits until the host thread has handled it, as a
   receive thread does. Callable from any thread but the host thread's own
   loop must be running for it to return. */
TESSOR_API tessor_status tessor_send_window_message(tessor_control* ctl, unsigned msg, intptr_t lparam);

/* The host loop of the calling thread. */
TESSOR_API tessor_status tessor_loop_run_for(int ms);
/* Runs until pred(user) answers non-zero or ms pass; answers pred's last value. */
TESSOR_API int tessor_loop_run_until(int (*pred)(void* user), void* user, int ms);
/* A descriptor that polls readable while work is waiting. */
TESSOR_API int tessor_loop_fd(void);
/* Runs due work without blocking; answers the number of handlers run. */
TESSOR_API int tessor_loop_dispatch(void);
/* Milliseconds until the next timer is due, 0 when work waits, -1 when none. */
TESSOR_API int tessor_loop_next_deadline_ms(void);

/* The interface description (the type library's content). */
typedef struct tessor_member_info {
  int dispid;
  const char* name;
  int kind;               /* 0 method, 1 property, 2 event */
  tessor_type result;     /* methods: result; properties: type */
  size_t nparams;
  const char* const* param_names;
  const tessor_type* param_types;
  const char* help;       /* UTF-8, "" when none */
} tessor_member_info;

TESSOR_API size_t tessor_member_count(void);
TESSOR_API tessor_status tessor_member_at(size_t index, tessor_member_info* out);
/* Registration data of the module as "key=value" lines (ProgIDs, class and
   library identifiers, version, threading model, misc status). */
TESSOR_API const char* tessor_registration_info(void);

/* Notes on particular answers:
   - tessor_create with TESSOR_PROGID_PROPPAGE answers TESSOR_E_UNKNOWN_PROGID:
     the property page is registered but it is no control.
   - tessor_send_window_message answers TESSOR_E_STATE before tessor_activate
     and TESSOR_E_INVALID_ARG for a message below WM_USER (0x400): creation,
     destruction, paint and timer messages belong to the library.
   - tessor_loop_run_for answers TESSOR_E_INVALID_ARG for a negative ms;
     tessor_loop_run_until with a null pred runs the loop for ms and answers 0.
   - tessor_member_at answers TESSOR_E_INVALID_ARG for an index from
     tessor_member_count() on; the strings it hands out live as long as the
     process. Events come last (kind 2).
   - tessor_disconnect_events answers TESSOR_E_INVALID_ARG for a cookie that
     is not connected. */

#ifdef __cplusplus
}
#endif

#endif /* TESSOR_TESSOR_H */
